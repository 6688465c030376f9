#include "patternbank.h"

#include <cassert>

namespace {
bool validPattern(int16_t n) {
    return n >= 0 && n < kPatterns;
}
}  // namespace

void StorePattern(PatternBank& bank, const LivePattern& live, int16_t n) {
    assert(validPattern(n));
    if (!validPattern(n))
        return;
    Pattern& p = bank[n];
    for (int i = 0; i < kCells; ++i)
        p.steps[i] = live.cell(i);
    for (int v = 0; v < kVoices; ++v)
        p.notes[v] = live.note(v);
}

void RecallPattern(const PatternBank& bank, LivePattern& live, int16_t n) {
    assert(validPattern(n));
    if (!validPattern(n))
        return;
    const Pattern& p = bank[n];
    for (int i = 0; i < kCells; ++i)
        live.setCell(i, p.steps[i]);
    for (int v = 0; v < kVoices; ++v)
        live.setNote(v, p.notes[v]);
}

void InitVoiceNotes(PatternBank& bank) {
    for (int p = 0; p < 64; ++p) {
        for (int v = 0; v < kVoices; ++v)
            bank[p].notes[v] = kDefaultNotes[v];
    }
}

bool isValidSongList(std::u16string_view text) {
    if (text.size() > static_cast<size_t>(kSongLength))
        return false;
    for (char16_t c : text) {
        // Only ASCII digits: other scripts' digits would parse as numbers elsewhere but
        // name no pattern here.
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

bool ParseSongList(std::u16string_view text, SongStepTable& songSteps) {
    if (!isValidSongList(text))
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        songSteps[i] = static_cast<int16_t>(text[i] - u'0');
    return true;
}
