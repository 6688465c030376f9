#pragma once

// The properties every input must keep, shared by the randomised test and the fuzz target.
// Returns an empty string when they hold, else what went wrong.

#include <string>

#include "files/patternformat.h"
#include "referencereader.h"

/// Reads `input` whole and in pieces whose sizes come from `pieceSeed`, writes the result
/// into a grid, and checks: the pieces do not change the result; the reference reading
/// agrees; the grid is written only at cells 0..63 and only with 0, 1 or 2; a binary input
/// writes nothing; a cell without a valid value keeps its state.
inline std::string checkReader(const std::string& input, unsigned pieceSeed) {
    PatternFileReader whole;
    whole.feed(input.data(), input.size());
    whole.finish();

    PatternFileReader pieces;
    std::size_t at = 0;
    unsigned s = pieceSeed | 1u;
    while (at < input.size()) {
        s = s * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(input.size() - at, 1 + (s >> 16) % 17);
        pieces.feed(input.data() + at, n);
        at += n;
    }
    pieces.finish();
    if (pieces.states() != whole.states() || pieces.binary() != whole.binary() ||
        pieces.valueCount() != whole.valueCount())
        return "reading in pieces gave another result";

    const ReferenceRead ref = referenceRead(input);
    if (ref.binary != whole.binary())
        return "binary: reference says " + std::to_string(ref.binary);
    if (!ref.binary) {
        if (int(ref.states.size()) != whole.valueCount())
            return "value count " + std::to_string(whole.valueCount()) + ", reference " +
                   std::to_string(ref.states.size());
        for (std::size_t i = 0; i < ref.states.size(); ++i)
            if (ref.states[i] != whole.states()[i])
                return "cell " + std::to_string(i) + " gets " + std::to_string(whole.states()[i]) +
                       ", reference " + std::to_string(ref.states[i]);
    }

    struct Grid : LivePattern {
        CellStates cells{};
        std::string fault;
        int writes = 0;
        int16_t cell(int i) const override { return cells[std::size_t(i)]; }
        void setCell(int i, int16_t state) override {
            ++writes;
            if (i < 0 || i >= kCells || state < 0 || state > 2) {
                fault = "wrote " + std::to_string(state) + " into cell " + std::to_string(i);
                return;
            }
            cells[std::size_t(i)] = state;
        }
        int16_t note(int) const override { return 0; }
        void setNote(int, int16_t) override {}
    } grid;
    // Start from a grid of every state so a kept cell is told from a written one.
    CellStates start{};
    for (int i = 0; i < kCells; ++i)
        start[std::size_t(i)] = int16_t(i % 3);
    grid.cells = start;
    whole.applyTo(grid);
    if (!grid.fault.empty())
        return grid.fault;
    if (whole.binary() && grid.writes != 0)
        return "a binary input changed the grid";
    for (int i = 0; i < kCells; ++i) {
        const int16_t want = whole.states()[std::size_t(i)] == PatternFileReader::kKeep
                                 ? start[std::size_t(i)]
                                 : whole.states()[std::size_t(i)];
        if (!whole.binary() && grid.cells[std::size_t(i)] != want)
            return "cell " + std::to_string(i) + " holds " +
                   std::to_string(grid.cells[std::size_t(i)]);
    }
    return {};
}
