#include "files/patternformat.h"

namespace {

// Ctrl-Z ends a DOS text file; whatever follows it is not part of the text.
constexpr unsigned char kEndOfFileMark = 0x1A;

// Control codes other than tab, line feed, vertical tab, form feed, carriage return and the
// end-of-file mark never stand in a text file; meeting one means the file is not a pattern
// file.
bool isBinaryByte(unsigned char c) {
    return c < 0x09 || (c >= 0x0E && c < 0x20 && c != kEndOfFileMark) || c == 0x7F;
}

}  // namespace

CellStates cellsOf(const LivePattern& live) {
    CellStates cells{};
    for (int i = 0; i < kCells; ++i)
        cells[static_cast<std::size_t>(i)] = live.cell(i);
    return cells;
}

std::string formatPatternFile(const CellStates& cells) {
    std::string out;
    out.reserve(cells.size() * 3);
    for (int16_t state : cells) {
        out += std::to_string(state);
        out += "\r\n";
    }
    return out;
}

bool PatternFileReader::feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size && wantsMore(); ++i)
        step(static_cast<unsigned char>(data[i]));
    return wantsMore();
}

void PatternFileReader::finish() {
    if (m_place == Place::InValue && wantsMore())
        endValue();
    m_place = Place::BeforeValue;
}

void PatternFileReader::step(unsigned char c) {
    if (c == kEndOfFileMark) {
        if (m_place == Place::InValue)
            endValue();
        m_place = Place::BeforeValue;
        m_ended = true;
        return;
    }
    if (isBinaryByte(c)) {
        m_binary = true;
        return;
    }
    if (m_place == Place::AfterSpace) {
        // Spaces after a value, then possibly the comma that ends it.
        if (c == ' ')
            return;
        m_place = Place::BeforeValue;
        if (c == ',')
            return;
    }
    if (m_place == Place::BeforeValue) {
        if (c == ' ' || c == '\r' || c == '\n')
            return;
        if (c == ',') {
            endValue();  // nothing before the comma: an empty value
            return;
        }
        m_place = Place::InValue;
    }
    // In a value.
    if (c == ',' || c == '\r' || c == '\n' || c == ' ') {
        endValue();
        m_place = c == ' ' ? Place::AfterSpace : Place::BeforeValue;
        return;
    }
    const bool first = !m_started;
    m_started = true;
    if (!m_number)
        return;
    if (first && (c == '+' || c == '-')) {
        m_negative = c == '-';
        return;
    }
    if (c >= '0' && c <= '9') {
        m_hasDigits = true;
        // Past 32768 the value is out of the 16-bit range whatever follows; stop growing it.
        if (m_magnitude <= 32768)
            m_magnitude = m_magnitude * 10 + (c - '0');
        return;
    }
    m_number = false;
}

void PatternFileReader::endValue() {
    int16_t state = kKeep;
    if (m_number && m_hasDigits) {
        const bool inRange = m_negative ? m_magnitude <= 32768 : m_magnitude <= 32767;
        // "-0" is the number 0; any other negative number is no cell state.
        const int32_t value = m_negative ? -m_magnitude : m_magnitude;
        if (inRange && value >= kOff && value <= kDimmed)
            state = static_cast<int16_t>(value);
    }
    m_states[static_cast<std::size_t>(m_count++)] = state;
    m_started = false;
    m_hasDigits = false;
    m_negative = false;
    m_number = true;
    m_magnitude = 0;
}

void PatternFileReader::applyTo(LivePattern& live) const {
    if (m_binary)
        return;
    for (int i = 0; i < kCells; ++i) {
        const int16_t state = m_states[static_cast<std::size_t>(i)];
        if (state != kKeep)
            live.setCell(i, state);
    }
}
