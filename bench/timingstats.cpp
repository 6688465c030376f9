#include "timingstats.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>

namespace {
struct Point {
    double step;
    double frame;
    int segment = 0;  // stretch between two xruns
};

// Points of segments with fewer than this are dropped: a line through one or two points
// says nothing about their distance from it.
constexpr std::size_t kMinSegmentPoints = 4;

// Least-squares grid through the points: one step length for all, one offset per segment
// (an xrun may shift the server's frame clock). Fills drift and the distance figures.
void fitLine(std::vector<Point> points, double nominalStepFrames, double sampleRate,
             GridFigures& out) {
    std::map<int, std::size_t> sizes;
    for (const Point& p : points)
        ++sizes[p.segment];
    const auto small = std::remove_if(points.begin(), points.end(), [&](const Point& p) {
        return sizes[p.segment] < kMinSegmentPoints;
    });
    out.excluded += std::size_t(points.end() - small);
    points.erase(small, points.end());
    out.events = points.size();
    if (points.size() < 2)
        return;
    std::map<int, std::pair<double, double>> mean;  // segment -> (mean step, mean frame)
    for (const Point& p : points) {
        mean[p.segment].first += p.step / double(sizes[p.segment]);
        mean[p.segment].second += p.frame / double(sizes[p.segment]);
    }
    double sxx = 0, sxy = 0;
    for (const Point& p : points) {
        const auto& m = mean[p.segment];
        sxx += (p.step - m.first) * (p.step - m.first);
        sxy += (p.step - m.first) * (p.frame - m.second);
    }
    if (sxx == 0)
        return;
    const double slope = sxy / sxx;
    std::vector<double> distanceMs;
    distanceMs.reserve(points.size());
    for (const Point& p : points) {
        const auto& m = mean[p.segment];
        const double expected = m.second + slope * (p.step - m.first);
        distanceMs.push_back(std::abs(p.frame - expected) * 1000.0 / sampleRate);
    }
    out.segments = mean.size();
    out.driftPpm = (slope / nominalStepFrames - 1.0) * 1e6;
    out.steps = std::size_t(points.back().step - points.front().step) + 1;
    out.p50Ms = percentile(distanceMs, 0.50);
    out.p99Ms = percentile(distanceMs, 0.99);
    out.maxMs = percentile(distanceMs, 1.0);
    const auto worst = std::max_element(distanceMs.begin(), distanceMs.end());
    out.worstStep = points[std::size_t(worst - distanceMs.begin())].step;
}
}  // namespace

double percentile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(q * double(values.size()));
    const std::size_t at = rank < 1 ? 0 : std::size_t(rank) - 1;
    return values[std::min(at, values.size() - 1)];
}

// Where a late tick restarted the sender's grid: each step's first point's lateness against
// the nominal grid is compared with the median of the stretch's recent steps; when it and
// the median of the next few steps are both more than kRestartMs later, and both the steps
// before and after keep to their grids, a new stretch starts there. Returns how many.
std::size_t splitAtRestarts(std::vector<Point>& points, double stepFrames, double sampleRate) {
    constexpr std::size_t kSeen = 8, kAhead = 3;
    const double limit = kRestartMs * sampleRate / 1000.0;
    std::vector<std::size_t> firsts;  // the first point of each step
    for (std::size_t i = 0; i < points.size(); ++i)
        if (i == 0 || points[i].step != points[i - 1].step)
            firsts.push_back(i);
    auto lateness = [&](std::size_t k) {
        const Point& p = points[firsts[k]];
        return p.frame - p.step * stepFrames;
    };
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    std::size_t restarts = 0, stretchStart = 0;
    for (std::size_t k = 1; k + kAhead <= firsts.size(); ++k) {
        std::vector<double> seen, ahead;
        for (std::size_t j = std::max(stretchStart, k >= kSeen ? k - kSeen : 0); j < k; ++j)
            seen.push_back(lateness(j));
        for (std::size_t j = k; j < k + kAhead; ++j)
            ahead.push_back(lateness(j));
        // Only a grid that was steady before and is steady after: a sender whose every
        // note is late by a varying amount has no grid to restart.
        auto steady = [&](const std::vector<double>& v) {
            return v.size() >= 2 &&
                   *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end()) <
                       limit / 2;
        };
        const double before = median(seen);
        if (steady(seen) && steady(ahead) && lateness(k) - before > limit &&
            median(ahead) - before > limit) {
            ++restarts;
            stretchStart = k;
            for (std::size_t i = firsts[k]; i < points.size(); ++i)
                points[i].segment += 1000;
        }
    }
    return restarts;
}

GridFigures fitEventsToGrid(const std::vector<ReceivedEvent>& events,
                            const std::vector<std::vector<uint8_t>>& barNotes, double stepMs,
                            double sampleRate, const std::vector<uint32_t>& xrunFrames,
                            double xrunGuardMs, bool byJackClock) {
    GridFigures out;
    if (barNotes.empty())
        return out;
    const double stepFrames = stepMs * sampleRate / 1000.0;
    const double guardFrames = xrunGuardMs * sampleRate / 1000.0;
    auto notesOf = [&](long step) -> const std::vector<uint8_t>& {
        return barNotes[std::size_t(step) % barNotes.size()];
    };
    std::vector<Point> points;
    points.reserve(events.size());
    long step = 0;
    std::size_t within = 0;
    // Moves on to the next step that has notes, counting the notes left behind as lost.
    auto nextStep = [&] {
        const std::size_t missing = notesOf(step).size() - within;
        out.lost += missing;
        out.lostSteps += missing > 0 ? 1 : 0;
        within = 0;
        for (std::size_t guard = 0; guard <= barNotes.size(); ++guard)
            if (!notesOf(++step).empty())
                return;
    };
    if (notesOf(0).empty())
        nextStep();
    bool haveFirst = false;
    uint32_t first = 0, last = 0;
    int64_t firstClockNs = 0, lastClockNs = 0;
    uint32_t clockedFrame = 0;  // the last event that had a clock: its frame and clock
    int64_t clockedNs = 0;
    // Where an event sits against its step, in steps: by JACK's clock where the receiver read
    // it (the frame clock may jump at an xrun, the clock does not), else by frames. Frame
    // times wrap at 2^32; differences stay right.
    // An event the server gave no clock for is placed by frames from the last one that had
    // one, not from the first: frames and clock part at every xrun.
    auto position = [&](const ReceivedEvent& e) {
        if (firstClockNs == 0)
            return double(int32_t(e.frame - first)) / stepFrames;
        const int64_t clockNs =
            e.clockNs != 0
                ? e.clockNs
                : clockedNs + int64_t(double(int32_t(e.frame - clockedFrame)) * 1e9 / sampleRate);
        return double(clockNs - firstClockNs) * 1e-6 / stepMs;
    };
    // The step an event at `at` steps belongs to: of the steps within one of the nearest,
    // the nearest that starts with its note. A late tick moves the whole grid by a part of
    // a step, so at the shortest steps the nearest step may be the wrong one. -1 when none.
    auto stepStartingWith = [&](double at, uint8_t note) -> long {
        const long nearest = std::lround(at);
        long best = -1;
        for (long candidate = nearest - 1; candidate <= nearest + 1; ++candidate)
            if (candidate > step && !notesOf(candidate).empty() && notesOf(candidate)[0] == note &&
                (best < 0 || std::abs(double(candidate) - at) < std::abs(double(best) - at)))
                best = candidate;
        return best;
    };
    // How late the recent events sat against their steps (a sender that is always a little
    // late), so that lateness is not taken for missing steps.
    std::array<double, 15> recentLateness{};
    std::size_t recentCount = 0;
    auto usualLateness = [&] {
        const std::size_t n = std::min(recentCount, recentLateness.size());
        if (n == 0)
            return 0.0;
        std::array<double, 15> sorted = recentLateness;
        std::sort(sorted.begin(), sorted.begin() + long(n));
        return sorted[n / 2];
    };
    for (const ReceivedEvent& e : events) {
        if (e.size != 3 || (e.bytes[0] & 0xF0) != 0x90)
            continue;
        if (haveFirst && (e.frame != last || e.clockNs != lastClockNs)) {
            // Whole steps missing (a server that misses periods loses what was written in
            // them): the event belongs that many steps on. Half a step of slack either way
            // beyond one step keeps ordinary lateness from counting.
            const double at = position(e) - usualLateness();
            // A jump of more than this is no run of lost steps but a broken reading.
            constexpr double kMostSteps = 1000;
            // The note expected next, late by no more than a late tick moves the grid (up to a
            // lead and the timer's wake-up: 7.63 ms at 256-frame periods), is taken as late
            // and not as the steps between lost: at the shortest steps that is several steps.
            constexpr double kLateTickShiftMs = 8.0;
            const bool lateNotLost = e.bytes[1] == notesOf(step)[within] &&
                                     (at - double(step)) * stepMs <= kLateTickShiftMs;
            const long target = stepStartingWith(at, e.bytes[1]);
            if (at - double(step) >= 1.5 && at - double(step) <= kMostSteps && target > step &&
                !lateNotLost) {
                if (within > 0)
                    nextStep();
                while (step < target)
                    nextStep();
            }
        }
        if (e.bytes[1] != notesOf(step)[within]) {
            // Not the note expected next: maybe the steps between went missing.
            const long target =
                haveFirst ? stepStartingWith(position(e) - usualLateness(), e.bytes[1]) : -1;
            if (target <= step || target - step > 1000) {
                ++out.mismatched;
                continue;
            }
            if (within > 0)
                nextStep();
            while (step < target)
                nextStep();
        }
        if (!haveFirst) {
            first = e.frame;
            firstClockNs = e.clockNs;
            haveFirst = true;
        }
        last = e.frame;
        lastClockNs = e.clockNs;
        if (e.clockNs != 0) {
            clockedFrame = e.frame;
            clockedNs = e.clockNs;
        }
        recentLateness[recentCount++ % recentLateness.size()] = position(e) - double(step);
        // Placed on its step either way; left out of the figures near an xrun, and in the
        // segment after the last xrun reported before it.
        int segment = 0;
        bool nearXrun = false;
        for (uint32_t x : xrunFrames) {
            const double apart = double(int32_t(e.frame - x));
            if (std::abs(apart) <= guardFrames)
                nearXrun = true;
            // JACK's clock has no jump at an xrun: one stretch.
            if (apart > 0 && !byJackClock)
                ++segment;
        }
        // An event that arrived when the server gave no clock cannot be placed by it.
        if (nearXrun || (byJackClock && (e.clockNs == 0 || firstClockNs == 0)))
            ++out.excluded;
        else
            points.push_back({double(step),
                              byJackClock ? double(e.clockNs - firstClockNs) * sampleRate / 1e9
                                          : double(int32_t(e.frame - first)),
                              segment});
        if (++within == notesOf(step).size()) {
            within = 0;
            for (std::size_t guard = 0; guard <= barNotes.size(); ++guard)
                if (!notesOf(++step).empty())
                    break;
        }
    }
    out.restarts = splitAtRestarts(points, stepFrames, sampleRate);
    fitLine(points, stepFrames, sampleRate, out);
    return out;
}

TempoFigures tempoChangeFigures(const std::vector<ReceivedEvent>& events,
                                const std::vector<double>& periodsMs, double windowMs,
                                double sampleRate, const std::vector<uint32_t>& xrunFrames,
                                double xrunGuardMs, bool byJackClock) {
    TempoFigures out;
    if (periodsMs.empty())
        return out;
    const double guardFrames = xrunGuardMs * sampleRate / 1000.0;
    const double msPerFrame = 1000.0 / sampleRate;
    auto nearXrun = [&](uint32_t frame) {
        return std::any_of(xrunFrames.begin(), xrunFrames.end(), [&](uint32_t x) {
            return std::abs(double(int32_t(frame - x))) <= guardFrames;
        });
    };
    auto xrunBetween = [&](uint32_t from, uint32_t to) {
        return std::any_of(xrunFrames.begin(), xrunFrames.end(), [&](uint32_t x) {
            return int32_t(x - from) > 0 && int32_t(to - x) >= 0;
        });
    };

    struct Step {
        uint32_t frame = 0;
        int64_t clockNs = 0;
        std::vector<uint8_t> notes;
        bool kept = true;     // not near an xrun
        bool joined = false;  // follows the step before with nothing left out between
    };
    std::vector<Step> steps;
    for (const ReceivedEvent& e : events) {
        if (e.size != 3 || (e.bytes[0] & 0xF0) != 0x90 || e.bytes[2] == 0)
            continue;
        const bool sameStep = !steps.empty() && steps.back().frame == e.frame &&
                              std::find(steps.back().notes.begin(), steps.back().notes.end(),
                                        e.bytes[1]) == steps.back().notes.end();
        if (!sameStep) {
            Step next;
            next.frame = e.frame;
            next.clockNs = e.clockNs;
            next.kept = !nearXrun(e.frame);
            next.joined = !steps.empty() && steps.back().kept && next.kept &&
                          !xrunBetween(steps.back().frame, e.frame);
            steps.push_back(std::move(next));
        }
        steps.back().notes.push_back(e.bytes[1]);
    }
    out.steps = steps.size();

    // The window: notes of the steps from i on whose frames lie within it, for every i.
    const double windowFrames = windowMs * sampleRate / 1000.0;
    std::size_t end = 0, notesInWindow = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (!steps[i].kept)
            continue;
        if (end <= i) {
            end = i;
            notesInWindow = 0;
        }
        while (end < steps.size() && steps[end].kept && (end == i || steps[end].joined) &&
               double(int32_t(steps[end].frame - steps[i].frame)) < windowFrames)
            notesInWindow += steps[end++].notes.size();
        out.mostNotesInWindow = std::max(out.mostNotesInWindow, notesInWindow);
        notesInWindow -= steps[i].notes.size();
    }

    // Gaps, and the period each gap is near (-1: none).
    std::vector<int> gapClass(steps.size(), -1);  // of the gap before step i
    bool anyGap = false;
    for (std::size_t i = 1; i < steps.size(); ++i) {
        if (!steps[i].joined)
            continue;
        const double gapMs = double(int32_t(steps[i].frame - steps[i - 1].frame)) * msPerFrame;
        if (!anyGap || gapMs < out.shortestGapMs) {
            out.shortestGapMs = gapMs;
            out.shortestGapAtMs = double(int32_t(steps[i].frame - steps[0].frame)) * msPerFrame;
            anyGap = true;
        }
        for (std::size_t c = 0; c < periodsMs.size(); ++c)
            if (std::abs(gapMs - periodsMs[c]) <= periodsMs[c] / 2)
                gapClass[i] = int(c);
    }

    // Stretches: runs of steps with both gaps near the same period. Positions count in the
    // shortest period, so that one step length in time serves every stretch.
    const double shortestMs = *std::min_element(periodsMs.begin(), periodsMs.end());
    std::vector<Point> points;
    int segment = -1;
    double position = 0;
    bool inStretch = false;
    std::size_t onGrid = 0;
    const int64_t firstClockNs = steps.empty() ? 0 : steps.front().clockNs;
    for (std::size_t i = 1; i + 1 < steps.size(); ++i) {
        const int c = gapClass[i];
        const bool member = c >= 0 && gapClass[i + 1] == c &&
                            (!byJackClock || (steps[i].clockNs != 0 && firstClockNs != 0));
        if (!member) {
            inStretch = false;
            out.grid.excluded += steps[i].notes.size();
            continue;
        }
        if (!inStretch) {
            ++segment;
            position = 0;
            inStretch = true;
        } else {
            position += periodsMs[std::size_t(c)] / shortestMs;
        }
        ++onGrid;
        const double at = byJackClock ? double(steps[i].clockNs - firstClockNs) * sampleRate / 1e9
                                      : double(int32_t(steps[i].frame - steps.front().frame));
        for (std::size_t n = 0; n < steps[i].notes.size(); ++n)
            points.push_back({position, at, segment});
    }
    fitLine(points, shortestMs * sampleRate / 1000.0, sampleRate, out.grid);
    out.grid.steps = onGrid;
    return out;
}

GridFigures fitOnsetsToGrid(const std::vector<double>& onsets, double stepFrames,
                            double sampleRate) {
    GridFigures out;
    std::vector<Point> points;
    for (double t : onsets) {
        const double step = std::round((t - onsets.front()) / stepFrames);
        if (!points.empty() && step == points.back().step) {
            ++out.mismatched;  // two onsets on one step: the later one is not a step
            continue;
        }
        points.push_back({step, t - onsets.front()});
    }
    fitLine(points, stepFrames, sampleRate, out);
    return out;
}

std::vector<double> detectOnsets(const std::vector<float>& audio, double sampleRate) {
    std::vector<double> onsets;
    const std::size_t fast = std::max<std::size_t>(4, std::size_t(sampleRate * 0.0003));
    const std::size_t slow = std::size_t(sampleRate * 0.003);
    const std::size_t refractory = std::size_t(sampleRate * 0.003);
    // Energy ratio that counts as a new hit, and an absolute floor well above dither.
    constexpr double kJump = 2.5;
    constexpr double kFloorLevel = 0.003;
    if (audio.size() < fast + slow + 1)
        return onsets;

    // Running sums of squares over the fast window [n - fast + 1, n] and the slow window
    // just before it.
    std::vector<double> squares(audio.size());
    for (std::size_t i = 0; i < audio.size(); ++i)
        squares[i] = double(audio[i]) * audio[i];
    std::vector<double> prefix(audio.size() + 1, 0.0);
    for (std::size_t i = 0; i < audio.size(); ++i)
        prefix[i + 1] = prefix[i] + squares[i];
    auto meanSquare = [&](std::size_t from, std::size_t to) {  // [from, to)
        return (prefix[to] - prefix[from]) / double(to - from);
    };

    std::size_t last = 0;
    bool any = false;
    for (std::size_t n = fast + slow; n < audio.size(); ++n) {
        if (any && n - last < refractory)
            continue;
        const std::size_t fastStart = n + 1 - fast;
        const double eFast = meanSquare(fastStart, n + 1);
        const double eSlow = meanSquare(fastStart - slow, fastStart);
        if (eFast <= kJump * eSlow + kFloorLevel * kFloorLevel)
            continue;
        // The hit starts at the first sample that rises above everything in the few
        // milliseconds before it (a louder hit over the tail of the last one). A quiet hit
        // over a loud tail trips the energy test a little late, so the search starts one
        // window earlier.
        const std::size_t from = fastStart >= slow + 2 * fast ? fastStart - fast : fastStart;
        double before = 0;
        for (std::size_t i = from - slow; i < from; ++i)
            before = std::max(before, double(std::abs(audio[i])));
        const double level = 1.1 * before + kFloorLevel;
        std::size_t start = from;
        while (start < n && std::abs(audio[start]) <= level)
            ++start;
        onsets.push_back(double(start));
        last = start;
        any = true;
    }
    return onsets;
}

std::vector<float> syntheticClicks(const std::vector<double>& positions, std::size_t length,
                                   double sampleRate, double minPeak, double maxPeak,
                                   uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::uniform_real_distribution<double> peak(minPeak, maxPeak);
    std::vector<float> audio(length);
    for (float& s : audio)
        s = float(1e-5 * noise(gen));
    const double decayFrames = 0.015 * sampleRate;
    for (double p : positions) {
        const double a = peak(gen);
        const std::size_t begin = std::size_t(std::ceil(p));
        const std::size_t end = std::min(length, begin + std::size_t(8 * decayFrames));
        for (std::size_t i = begin; i < end; ++i)
            audio[i] += float(a * noise(gen) * std::exp(-(double(i) - p) / decayFrames));
    }
    return audio;
}

ClockFigures clockFigures(const std::vector<ReceivedEvent>& events, double stepMs,
                          double sampleRate, const std::vector<uint32_t>& xrunFrames,
                          double xrunGuardMs) {
    constexpr uint8_t kClock = 0xF8, kStart = 0xFA, kStop = 0xFC;
    // A step is a sixteenth note, a quarter note 24 clocks.
    constexpr int kClocksPerStep = 6, kClocksPerQuarter = 24;
    ClockFigures out;
    const double clockMs = stepMs / kClocksPerStep;
    const double guardFrames = xrunGuardMs * sampleRate / 1000.0;
    auto nearXrun = [&](uint32_t frame) {
        return std::any_of(xrunFrames.begin(), xrunFrames.end(), [&](uint32_t x) {
            return std::abs(double(int32_t(frame - x))) <= guardFrames;
        });
    };
    const ReceivedEvent* start = nullptr;
    const ReceivedEvent* firstNote = nullptr;
    std::vector<Point> points;
    struct Kept {
        long count;  // from the first clock
        int64_t ns;
        int segment;
    };
    std::vector<Kept> kept;
    long count = -1;
    int segment = 0;
    int64_t lastNs = 0;
    for (const ReceivedEvent& e : events) {
        // Events on one frame from two ports come in either order.
        if (!firstNote && e.size == 3 && (e.bytes[0] & 0xF0) == 0x90)
            firstNote = &e;
        const bool oneByte = e.size == 1;
        if (!start) {
            if (oneByte && e.bytes[0] == kStart) {
                start = &e;
                out.started = true;
            }
            continue;
        }
        if (oneByte && e.bytes[0] == kStop) {
            out.stopped = true;
            break;
        }
        if (!oneByte || e.bytes[0] != kClock)
            continue;
        if (count < 0) {
            count = 0;
            out.firstClockMs = double(e.clockNs - start->clockNs) / 1e6;
            out.firstClockFrames = long(int32_t(e.frame - start->frame));
        } else {
            // A clock whole clock lengths late has ones missing before it; one late by
            // anything else, the grid restarted.
            const double gaps = double(e.clockNs - lastNs) / 1e6 / clockMs;
            const long whole = std::max(std::lround(gaps), 1L);
            if (gaps > 1 && std::abs(gaps - double(whole)) * clockMs > kRestartMs / 2 &&
                (gaps - 1) * clockMs > kRestartMs) {
                ++out.restarts;
                ++segment;
                count += 1;
            } else {
                if (!nearXrun(e.frame))
                    out.lost += std::size_t(whole - 1);
                count += whole;
            }
        }
        lastNs = e.clockNs;
        ++out.clocks;
        if (nearXrun(e.frame) || e.clockNs == 0) {
            ++out.excluded;
            continue;
        }
        points.push_back(
            {double(count), double(e.clockNs - start->clockNs) * sampleRate / 1e9, segment});
        kept.push_back({count, e.clockNs, segment});
    }
    if (start && firstNote) {
        out.firstNoteMs = double(firstNote->clockNs - start->clockNs) / 1e6;
        out.firstNoteFrames = long(int32_t(firstNote->frame - start->frame));
    }
    GridFigures grid;
    fitLine(points, clockMs * sampleRate / 1000.0, sampleRate, grid);
    out.p99Ms = grid.p99Ms;
    out.maxMs = grid.maxMs;
    out.driftPpm = grid.driftPpm;

    // What a follower computes: the time of 24 clocks in a row is a quarter note.
    std::vector<double> bpm;
    for (std::size_t i = 0, j = 0; i < kept.size(); ++i) {
        while (j < kept.size() && kept[j].count < kept[i].count + kClocksPerQuarter)
            ++j;
        if (j == kept.size())
            break;
        if (kept[j].count == kept[i].count + kClocksPerQuarter && j - i == kClocksPerQuarter &&
            kept[j].segment == kept[i].segment)
            bpm.push_back(60e9 / double(kept[j].ns - kept[i].ns));
    }
    out.tempoWindows = bpm.size();
    if (!bpm.empty()) {
        double sum = 0;
        for (double b : bpm)
            sum += b;
        out.bpmMean = sum / double(bpm.size());
        const auto [least, most] = std::minmax_element(bpm.begin(), bpm.end());
        out.bpmSpread = *most - *least;
    }
    return out;
}
