#pragma once

// The pattern file's format: the 64 grid cells as text, one decimal value per line, each line
// ended by CR LF; and the reader that takes such text apart. Pure: no file is touched.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/livepattern.h"
#include "core/pattern.h"

using CellStates = std::array<int16_t, kCells>;

/// The 64 cell states of the live grid, in cell order.
CellStates cellsOf(const LivePattern& live);

/// The bytes of a pattern file for `cells`: each state in decimal followed by CR LF, the
/// last one included, nothing else (192 bytes for a grid of 0s and 1s).
std::string formatPatternFile(const CellStates& cells);

/// Reads pattern file text pushed to it in pieces of any size, so a caller can stop reading
/// a file as soon as 64 values are in.
///
/// A value is what stands between delimiters after leading spaces are skipped. It ends at a
/// comma, a space or a line end (CR LF, LF alone or CR alone), and that delimiter is consumed
/// with it; spaces after a value are skipped and a comma after them still belongs to it
/// ("1 ,0" is two values). Line ends and spaces before a value are skipped, so blank lines,
/// trailing spaces and a comma at the end of a line add no value. A comma with nothing
/// before it since the last delimiter ("1,,0", or a line that starts with a comma) is an
/// empty value.
///
/// A value is a number when it is an optional sign followed by one or more decimal digits
/// and nothing else, and its value lies in the signed 16-bit range. A cell takes the value
/// only when that number is 0, 1 or 2; any other value (empty, "1x", "1.0", "0x1", "\t1",
/// "-1", "3", "70000") leaves the cell as it was and still counts as that cell's value, so
/// the next value goes to the next cell. Hence " 1" gives 1 (leading spaces are skipped),
/// "01" and "+1" give 1, "-0" gives 0, and "1x" keeps the cell.
///
/// Ctrl-Z (0x1A), the end-of-file mark of DOS text files, ends the input: a value being read
/// ends there and nothing after it is read. Any other byte that no text file holds (the
/// control codes 0x00-0x08, 0x0E-0x19, 0x1B-0x1F and 0x7F) marks the input as binary:
/// reading stops and nothing of it should be applied.
class PatternFileReader {
public:
    /// Marks a cell that gets no state from the input.
    static constexpr int16_t kKeep = -1;

    /// Reads the next `size` bytes. Returns false once no more input is wanted: 64 values
    /// are in, an end-of-file mark was met, or the input is binary.
    bool feed(const char* data, std::size_t size);
    /// The end of the input: a value still being read ends here.
    void finish();

    bool wantsMore() const { return !m_binary && !m_ended && m_count < kCells; }
    bool binary() const { return m_binary; }
    /// Values read so far (at most 64), valid or not.
    int valueCount() const { return m_count; }
    /// Per cell: the state the cell takes (0, 1, 2) or kKeep.
    const CellStates& states() const { return m_states; }

    /// Writes the states read into the live grid; cells marked kKeep are not touched.
    /// Writes nothing if the input was binary.
    void applyTo(LivePattern& live) const;

private:
    enum class Place { BeforeValue, InValue, AfterSpace };
    void step(unsigned char c);
    void endValue();

    CellStates m_states = filled();
    static CellStates filled() {
        CellStates s;
        s.fill(kKeep);
        return s;
    }
    Place m_place = Place::BeforeValue;
    int m_count = 0;
    bool m_binary = false;
    bool m_ended = false;  // an end-of-file mark was read
    // The value being read.
    bool m_started = false;  // a character of it has been read
    bool m_hasDigits = false;
    bool m_negative = false;
    bool m_number = true;  // only sign and digits so far
    int32_t m_magnitude = 0;
};
