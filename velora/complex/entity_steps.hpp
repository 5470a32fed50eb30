// Per-entity layout of an event table as plain loops over column buffers: which input row
// fills each output step, and each entity's start time and gaps between its events.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace velora::kernels {

// The output rows of an event table laid out as `steps` rows per entity: entities in code
// order, each entity's rows in arrival order, its first `steps` events kept and filler
// rows (row -1) appended after its last event.
struct EntitySteps {
    std::int64_t steps = 0;
    std::vector<std::int64_t> row;     // input row of each output row, -1 for filler
    std::vector<std::int64_t> entity;  // entity code of each output row
    std::vector<std::int64_t> step;    // step number of each output row
    bool has_filler = false;
    // Only when cut into windows: each output row's window of its entity, and whether its
    // losses count (burn-in rows only lead up to the rest).
    std::vector<std::int64_t> window;
    std::vector<char> counted;
};

// Each entity's input rows in arrival order.
inline std::vector<std::vector<std::int64_t>> rows_by_entity(const std::int64_t* codes,
                                                             std::int64_t rows,
                                                             std::int64_t entities) {
    std::vector<std::vector<std::int64_t>> events(entities);
    for (std::int64_t i = 0; i < rows; ++i) {
        if (codes[i] >= 0) {
            events[codes[i]].push_back(i);
        }
    }
    return events;
}

inline std::int64_t longest_of(const std::vector<std::vector<std::int64_t>>& events) {
    std::size_t longest = 0;
    for (const auto& rows : events) {
        longest = std::max(longest, rows.size());
    }
    return static_cast<std::int64_t>(longest);
}

// Steps per entity: `max_steps`, or fewer when every entity is shorter unless `exact`.
inline std::int64_t steps_for(std::int64_t max_steps, std::int64_t longest, bool exact) {
    return exact ? max_steps : std::min(max_steps, longest);
}

// The output rows of an event table cut into windows of `steps` rows (as `steps_for` gives
// them): window k of an entity holds its events from k * stride
// on, stride being steps - burn_in, with filler rows past its last event; an entity has
// windows until one reaches past its last event (with no burn-in, none that would hold only
// filler). The first `burn_in` rows of every window but
// the first are events counted in the window before, so every event is counted exactly once.
inline EntitySteps entity_windows(const std::int64_t* codes, std::int64_t rows,
                                  std::int64_t entities, std::int64_t max_steps,
                                  std::int64_t burn_in, bool exact = false) {
    const auto events = rows_by_entity(codes, rows, entities);
    EntitySteps out;
    out.steps = steps_for(max_steps, longest_of(events), exact);
    const std::int64_t T = out.steps;
    const std::int64_t lead = std::min(burn_in, T - 1);
    const std::int64_t stride = T - lead;
    for (std::int64_t e = 0; e < entities; ++e) {
        const auto n = static_cast<std::int64_t>(events[e].size());
        std::int64_t windows = n < T ? 1 : (n - T) / stride + 2;
        // Abutting windows that end with the entity would add one of filler alone.
        windows -= windows > 1 && (windows - 1) * stride >= n;
        for (std::int64_t k = 0; k < windows; ++k) {
            for (std::int64_t s = 0; s < T; ++s) {
                const std::int64_t event = k * stride + s;
                out.row.push_back(event < n ? events[e][event] : -1);
                out.entity.push_back(e);
                out.step.push_back(s);
                out.window.push_back(k);
                out.counted.push_back(k == 0 || s >= lead);
                out.has_filler = out.has_filler || event >= n;
            }
        }
    }
    return out;
}

// `codes[i]` is row i's entity in 0..entities-1, or negative for a row without entity.
inline EntitySteps entity_steps(const std::int64_t* codes, std::int64_t rows, std::int64_t entities,
                                std::int64_t max_steps, bool exact = false) {
    std::vector<std::int64_t> count(entities, 0);
    for (std::int64_t i = 0; i < rows; ++i) {
        if (codes[i] >= 0) {
            ++count[codes[i]];
        }
    }
    EntitySteps out;
    const std::int64_t longest =
        entities ? *std::max_element(count.begin(), count.end()) : std::int64_t{0};
    out.steps = steps_for(max_steps, longest, exact);
    const std::int64_t T = out.steps;
    out.row.assign(entities * T, -1);
    out.entity.resize(entities * T);
    out.step.resize(entities * T);
    std::vector<std::int64_t> filled(entities, 0);
    for (std::int64_t i = 0; i < rows; ++i) {
        const std::int64_t e = codes[i];
        if (e >= 0 && filled[e] < T) {
            out.row[e * T + filled[e]++] = i;
        }
    }
    for (std::int64_t e = 0; e < entities; ++e) {
        out.has_filler = out.has_filler || filled[e] < T;
        for (std::int64_t s = 0; s < T; ++s) {
            out.entity[e * T + s] = e;
            out.step[e * T + s] = s;
        }
    }
    return out;
}

// Each entity's earliest time and each row's gap to the previous row of its entity, in
// arrival order. `missing(v)` tells a missing time; a missing start or gap is reported in
// the flags (the first row of an entity has no gap).
template <typename Value, typename IsMissing>
void starts_and_gaps(const std::int64_t* codes, const Value* time, std::int64_t rows,
                     std::int64_t entities, IsMissing missing, std::vector<Value>& start,
                     std::vector<char>& start_missing, std::vector<Value>& gap,
                     std::vector<char>& gap_missing) {
    start.assign(entities, Value{});
    start_missing.assign(entities, 1);
    gap.assign(rows, Value{});
    gap_missing.assign(rows, 1);
    std::vector<std::int64_t> previous(entities, -1);
    for (std::int64_t i = 0; i < rows; ++i) {
        const std::int64_t e = codes[i];
        if (e < 0) {
            continue;
        }
        const bool present = !missing(time[i]);
        if (present && (start_missing[e] || time[i] < start[e])) {
            start[e] = time[i];
            start_missing[e] = 0;
        }
        const std::int64_t before = previous[e];
        if (before >= 0 && present && !missing(time[before])) {
            gap[i] = time[i] - time[before];
            gap_missing[i] = 0;
        }
        previous[e] = i;
    }
}

}  // namespace velora::kernels
