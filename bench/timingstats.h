#pragma once

// Figures of the timing benchmark: how far received events or detected audio onsets lie
// from a straight step grid fitted to them, and how that grid drifts from the nominal one.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/jackreceiver.h"

struct GridFigures {
    std::size_t events = 0;                  // events placed on the grid
    std::size_t steps = 0;                   // steps they span
    std::size_t mismatched = 0;              // events that were not the note expected next
    std::size_t lost = 0;                    // notes expected but not received
    std::size_t lostSteps = 0;               // steps with any of their notes not received
    std::size_t excluded = 0;                // events left out of the figures (near xruns)
    std::size_t segments = 1;                // stretches between xruns, each with its offset
    std::size_t restarts = 0;                // grids restarted by a late tick (see below)
    double driftPpm = 0;                     // fitted step length against the nominal one
    double p50Ms = 0, p99Ms = 0, maxMs = 0;  // |distance from the fitted grid|
    double worstStep = 0;                    // the step of the largest distance
};

/// Places Note On events on steps by matching them, in order, against the notes expected
/// at each step of a bar (`barNotes`, repeated, starting at step 0), then fits a straight
/// grid frame = a + b * step by least squares. Drift compares b with stepMs at sampleRate.
/// When an event is not the note expected next, the frame gap to the previous event tells
/// how many steps went missing; their notes count as lost.
///
/// `xrunFrames`: frame times at which the server reported xruns. A server that misses a
/// period may shift its frame clock against the wall clock, so each stretch between xruns
/// gets its own offset (the step length stays common), and events within `xrunGuardMs` of
/// an xrun are left out.
///
/// A tick the sender's timer could not raise in time restarts its grid: that step and every
/// step after it come later, by the same amount, than the grid before them. Where the steps
/// from one on all lie more than kRestartMs later than the steps before (the next few
/// steps too, not one late note), a new stretch with its own offset begins; `restarts`
/// counts them.
///
/// `byJackClock`: fit the times JACK's clock gives the events' frames (ReceivedEvent::clockNs)
/// instead of the frames. JACK's clock follows the server through its xruns, so this tells
/// where a sender put its events by the clock it had, apart from what the server did. It is
/// one stretch; events near xruns are still left out.
constexpr double kRestartMs = 0.5;
GridFigures fitEventsToGrid(const std::vector<ReceivedEvent>& events,
                            const std::vector<std::vector<uint8_t>>& barNotes, double stepMs,
                            double sampleRate, const std::vector<uint32_t>& xrunFrames = {},
                            double xrunGuardMs = 0, bool byJackClock = false);

/// What a receiver heard of a run whose tempo changes.
struct TempoFigures {
    std::size_t steps = 0;              // steps heard
    std::size_t mostNotesInWindow = 0;  // most Note On events within any one window
    double shortestGapMs = 0;           // shortest time from one step to the next
    double shortestGapAtMs = 0;         // where it was, from the first step
    GridFigures grid;                   // distances from each stretch's own grid
};

/// Figures of a run that plays at each of `periodsMs` in turn, in any order, from the Note On
/// events that arrived. The notes of one step share a frame; a note that comes again on the
/// same frame starts another step (one step never sends a note twice), so steps handed over
/// at once and written to one frame count each. The window is `windowMs` long and holds the
/// notes whose frames lie less than that after its first.
///
/// Each step whose gaps to the step before and the step after are both within half a period
/// of the same one of `periodsMs` belongs to a stretch at that tempo; every stretch gets a
/// grid of its own offset, with one step length (in time) common to all, fitted as
/// fitEventsToGrid does, by frames or by JACK's clock. The steps around a tempo change fall
/// outside the stretches: the window and the gap figures judge them. Events within
/// `xrunGuardMs` of an xrun are left out; by frames, an xrun also ends a stretch.
TempoFigures tempoChangeFigures(const std::vector<ReceivedEvent>& events,
                                const std::vector<double>& periodsMs, double windowMs,
                                double sampleRate, const std::vector<uint32_t>& xrunFrames = {},
                                double xrunGuardMs = 0, bool byJackClock = false);

/// Fits a straight grid to onset times (frames) that fall on steps of about `stepFrames`;
/// each onset goes to its nearest step. Missing steps are allowed.
GridFigures fitOnsetsToGrid(const std::vector<double>& onsets, double stepFrames,
                            double sampleRate);

/// Onsets in mono audio, in frames from its start: where the short-time energy jumps well
/// above that of the few milliseconds before, refined to the first sample that rises above
/// the level before. Hits less than 3 ms apart count as one.
std::vector<double> detectOnsets(const std::vector<float>& audio, double sampleRate);

/// A test signal: at each position (frames) a drum-like click (a noise burst with a fast
/// exponential decay and an amplitude drawn from `minPeak`..`maxPeak`), over faint noise
/// like a synth's dither.
std::vector<float> syntheticClicks(const std::vector<double>& positions, std::size_t length,
                                   double sampleRate, double minPeak, double maxPeak,
                                   uint32_t seed);

/// The value below which the fraction `q` (0..1) of `values` lies (nearest rank).
double percentile(std::vector<double> values, double q);

/// MIDI clock as a follower receives it: Start, Timing Clock (F8) at 24 a quarter note, Stop.
struct ClockFigures {
    std::size_t clocks = 0;    // clocks received after the first Start
    std::size_t lost = 0;      // clocks missing between two received ones
    std::size_t excluded = 0;  // clocks near an xrun, left out of the figures
    std::size_t restarts = 0;  // grids restarted by a late tick (see below)
    bool started = false, stopped = false;
    double p99Ms = 0, maxMs = 0;        // |distance from a straight clock grid|, by JACK's clock
    double driftPpm = 0;                // the grid's clock length against the nominal one
    double bpmMean = 0, bpmSpread = 0;  // tempo from each 24 clocks in a row: mean, max - min
    std::size_t tempoWindows = 0;
    // Start to the first clock, and to the first Note On (NaN: none), by JACK's clock and by
    // frames.
    double firstClockMs = 0;
    long firstClockFrames = 0;
    double firstNoteMs = std::nan("");
    long firstNoteFrames = 0;
};

/// Figures of the MIDI clock in `events` (other events are passed over but the first Note
/// On), from the first Start on, against a clock every `stepMs / 6` ms (a step is a
/// sixteenth note). A clock that comes whole clock lengths after the one before counts the
/// ones between as lost; one that comes more than kRestartMs after its place otherwise, and
/// not on a whole clock, follows a late tick that restarted the sender's grid: it and the
/// clocks after it are a stretch of their own (and no tempo window spans two). The grid is
/// fitted by least squares over the clock count, by the times JACK's clock gives their
/// frames. Clocks within `xrunGuardMs` of an xrun are left
/// out of the distances and of every tempo window that holds them.
ClockFigures clockFigures(const std::vector<ReceivedEvent>& events, double stepMs,
                          double sampleRate, const std::vector<uint32_t>& xrunFrames = {},
                          double xrunGuardMs = 0);
