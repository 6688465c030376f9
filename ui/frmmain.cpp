#include "frmmain.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QValidator>

#include <algorithm>

#include "accessibility.h"
#include "appearance.h"
#include "core/monotonicclock.h"
#include "core/portaction.h"
#include "editing/editing.h"
#include "files/patterncommands.h"
#include "files/qtfiledialog.h"
#include "gridcell.h"
#include "keyboard.h"
#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "midi/ports/portroutines.h"
#include "midisetupform.h"
#include "placement.h"
#include "twips.h"

namespace {

// The song list box keeps only the digits 0-9, at most one per song table entry. Typed
// characters that are no digit are refused; pasted text keeps its digits, so "0,1,0,1" or a
// list with a line end after it gives "0101". A song can then never name something that is
// not a pattern, nor run past the table.
class SongListValidator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override {
        QString digits;
        int cursor = 0;
        for (int i = 0; i < input.size(); ++i) {
            const QChar c = input.at(i);
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                continue;
            if (digits.size() == kSongLength)
                break;
            digits += c;
            if (i < pos)
                ++cursor;
        }
        input = digits;
        pos = cursor;
        return Acceptable;
    }
};
const char* const kTitle = "midi pattern sequencer 1";

// Left edges of the grid's sixteen steps and top edges of its four voices, in twips within
// the frame: four groups of four steps.
constexpr std::array<int, kSteps> kStepLeft{240,  600,  960,  1320, 2040, 2400, 2760, 3120,
                                            3720, 4080, 4440, 4800, 5400, 5760, 6120, 6480};
constexpr std::array<int, kVoices> kVoiceTop{240, 600, 1080, 1560};

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// Each new name is announced to screen readers; names are set again whenever any shown value
// changes (at every step while playing), so only the ones that differ are set.
void rename(QWidget* w, const QString& name) {
    if (w->accessibleName() != name)
        w->setAccessibleName(name);
}

// A label's spoken name: what it shows, then the value it shows now.
void withValue(QLabel* label, const QString& what) {
    rename(label, label->text().isEmpty() ? what : what + QStringLiteral(": ") + label->text());
}
}  // namespace

frmMain::frmMain(FrmMainParts parts, QWidget* parent)
    : QMainWindow(parent),
      CMDialog1(parts.fileDialog ? std::move(parts.fileDialog)
                                 : std::make_unique<QtFileDialogPresenter>(this)),
      m_input(std::move(parts.input)),
      m_output(std::move(parts.output)),
      m_endProgram(std::move(parts.endProgram)),
      m_seq(Pulsor2, *m_output, &m_output->clockOutput()) {
    MIDIInput1 = m_input.get();
    MIDIOutput1 = m_output.get();
    if (!m_endProgram)
        m_endProgram = [] { QCoreApplication::exit(0); };

    setWindowTitle(QString::fromLatin1(kTitle));
    // A fixed window: title, close and minimise; no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QStringLiteral(":/icons/midi-pattern-sequencer.xpm")));
    installFontFallbacks();
    setFont(controlFont());
    m_dpi = logicalDpiX();
    buildControls();
    buildMenus();
    describeControls();
    // The client area is fixed; the window's outer size follows from it and the menu bar,
    // and the user cannot change it.
    setFixedSize(sizeHint());
    // Drop-down menus are windows of their own and do not take the window's font by
    // themselves; the bar's overflow menu exists only once the bar has been laid out.
    for (QMenu* m : menuBar()->findChildren<QMenu*>())
        m->setFont(controlFont());
    setFocusOrder();
    m_frameTimer = new QTimer(this);
    m_frameTimer->setSingleShot(true);
    m_frameTimer->setTimerType(Qt::PreciseTimer);
    connectHandlers();
    Form_Load();
}

frmMain::~frmMain() {
    // No step is played once the window starts to go: the engine reads this window's model
    // and tells this window what it changed.
    m_seq.detach();
}

int frmMain::px(int twips) const {
    return twipsToPixels(twips, m_dpi);
}

void frmMain::place(QWidget* w, int left, int top, int width, int height) {
    w->setGeometry(px(left), px(top), px(width), px(height));
}

void frmMain::buildControls() {
    installAccessibility();
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    client->setFixedSize(px(8580), px(6555));

    auto button = [&](const char* name, const char* caption, int l, int t, int w, int h) {
        auto* b = new QPushButton(QString::fromLatin1(caption), client);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        pressWithEnter(b);
        place(b, l, t, w, h);
        return b;
    };
    auto label = [&](const char* name, const char* caption, int l, int t, int w, int h) {
        auto* lb = new QLabel(QString::fromLatin1(caption), client);
        lb->setObjectName(QString::fromLatin1(name));
        // A label's text starts at its top left corner, as on every label of this window
        // but the one that is centred.
        lb->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        place(lb, l, t, w, h);
        return lb;
    };
    auto scrollBar = [&](const char* name, Qt::Orientation o, int min, int max) {
        auto* s = new QScrollBar(o, client);
        s->setObjectName(QString::fromLatin1(name));
        s->setRange(min, max);
        s->setSingleStep(1);
        s->setPageStep(1);
        // Like the change event of a classic scroll bar, the value changes when the thumb is
        // let go, not at every position it passes while dragged.
        s->setTracking(false);
        showScrollBarFocus(s);
        useClassicScrollBarKeys(s);
        return s;
    };

    Command1 = button("Command1", "open", 3120, 0, 855, 495);
    stopbutton = button("stopbutton", "exit", 4080, 0, 855, 495);
    labelpatno = label("labelpatno", "0", 5520, 120, 375, 255);
    labelpatno->setFont(patternNumberFont());
    patno = scrollBar("patno", Qt::Horizontal, 0, kLastSelectablePattern);
    place(patno, 6120, 120, 735, 255);

    Frame1 = new QGroupBox(QStringLiteral("pattern"), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    place(Frame1, 240, 600, 6855, 2055);
    setFrameLook(Frame1);
    for (int v = 0; v < kVoices; ++v) {
        for (int s = 0; s < kSteps; ++s) {
            const int n = cellIndex(v, s);
            auto* c = new GridCell(Frame1);
            // A frame with a style sheet does not hand its font down; the cells take it here.
            c->setFont(controlFont());
            c->setObjectName(QStringLiteral("Check1_%1").arg(n));
            place(c, kStepLeft[s], kVoiceTop[v], 255, 255);
            Check1[n] = c;
        }
    }
    moveFocusWithArrows(std::vector<QWidget*>(Check1.begin(), Check1.end()), kSteps);

    ticks = new QLineEdit(client);
    ticks->setObjectName(QStringLiteral("ticks"));
    // The program writes the count at every step. Read only, a screen reader takes it for a
    // status to read on request, not for text being typed that it reads out at each change.
    markAsStatus(ticks);
    ticks->setReadOnly(true);
    place(ticks, 7440, 840, 735, 495);
    ticks->installEventFilter(this);

    reset = button("reset", "r", 120, 2760, 255, 255);
    for (int i = 0; i < kVoices; ++i) {
        VScroll1[i] = scrollBar("", Qt::Vertical, 0, kMaxNote);
        VScroll1[i]->setObjectName(QStringLiteral("VScroll1_%1").arg(i));
        place(VScroll1[i], 480 + 600 * i, 2760, 255, 2175);
    }
    clear = button("clear", "clear", 3240, 2880, 615, 495);
    rock = button("rock", "rock", 3960, 2880, 615, 495);
    Command2 = button("Command2", "start/stop", 5880, 2880, 1215, 615);
    rando = button("rando", "R", 3240, 3480, 615, 495);
    HScroll1 = scrollBar("HScroll1", Qt::Horizontal, 0, kMaxTempo);
    HScroll1->setValue(kStartTempo);
    place(HScroll1, 4920, 3720, 2295, 375);
    Label2 = label("Label2", "speed", 5400, 4200, 1455, 255);
    songmode = button("songmode", "", 3000, 4800, 375, 375);
    // On or off: its checked state follows song mode (see nameShownValues), so a screen
    // reader hears a toggle and its changes; the face looks the same either way.
    songmode->setCheckable(true);

    songlist = new QLineEdit(client);
    songlist->setObjectName(QStringLiteral("songlist"));
    // One digit per bar, at most as many bars as the song table holds.
    songlist->setMaxLength(kSongLength);
    songlist->setValidator(new SongListValidator(songlist));
    place(songlist, 3480, 4800, 3735, 375);
    songlist->installEventFilter(this);

    labelsongstep = label("labelsongstep", "", 7440, 4800, 615, 375);
    for (int i = 0; i < kVoices; ++i) {
        Label1[i] = label("", "", 480 + 600 * i, 5040, 375, 255);
        Label1[i]->setObjectName(QStringLiteral("Label1_%1").arg(i));
    }
    Label3 = label("Label3", "voices", 840, 5400, 1455, 255);
    Label3->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Command3 = button("Command3", "panic", 6480, 5520, 735, 495);

    const QColor yellow(255, 255, 128);
    setLabelBackground(labelpatno, yellow);
    setLabelBackground(labelsongstep, yellow);
    setButtonFace(clear, QColor(255, 192, 192));
    setButtonFace(rando, QColor(128, 255, 128));
    setButtonFace(songmode, QColor(192, 255, 255));
    setButtonFace(Command3, QColor(255, 0, 0));
}

void frmMain::buildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnuFile"));
    mnuLoadPattern = file->addAction(QStringLiteral("&Load Pattern"));
    mnuLoadPattern->setObjectName(QStringLiteral("mnuLoadPattern"));
    MnuSavePatternAs = file->addAction(QStringLiteral("&Save Pattern As..."));
    MnuSavePatternAs->setObjectName(QStringLiteral("MnuSavePatternAs"));
    MnuSavePatternAs->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    QAction* sep = file->addSeparator();
    sep->setObjectName(QStringLiteral("mnuFileSep1"));
    mnuFileExit = file->addAction(QStringLiteral("E&xit"));
    mnuFileExit->setObjectName(QStringLiteral("mnuFileExit"));

    QMenu* midi = menuBar()->addMenu(QStringLiteral("&MIDI"));
    midi->setObjectName(QStringLiteral("mnuMidi"));
    mnuMidiSetup = midi->addAction(QStringLiteral("&Setup"));
    mnuMidiSetup->setObjectName(QStringLiteral("mnuMidiSetup"));
    mnuMidiThru = midi->addAction(QStringLiteral("&Thru"));
    mnuMidiThru->setObjectName(QStringLiteral("mnuMidiThru"));
    // The check mark is toggled by the handler, not by the action itself.
    mnuMidiThru->setCheckable(true);
    mnuMidiThru->setChecked(true);
    announceCheckedChanges(mnuMidiThru);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpAbout = help->addAction(QStringLiteral("&About"));
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));
}

void frmMain::describeControls() {
    // Names a screen reader speaks for each control, and what the control does. Voices and
    // steps are counted from 1 here, as people count them. Nothing of this is drawn.
    auto describe = [](QWidget* w, const QString& name, const QString& description) {
        w->setAccessibleName(name);
        w->setAccessibleDescription(description);
    };
    describe(Command1, QStringLiteral("open"),
             QStringLiteral("Opens the MIDI ports; the first time it shows the MIDI setup first"));
    describe(stopbutton, QStringLiteral("exit"),
             QStringLiteral("Closes the MIDI ports and ends the program"));
    describe(patno, QStringLiteral("pattern number"),
             QStringLiteral("Selects the pattern shown in the grid, 0 to 63; the grid is kept in "
                            "the pattern it leaves"));
    describe(labelpatno, QString(), QStringLiteral("The selected pattern number"));
    describe(Frame1, QStringLiteral("pattern"),
             QStringLiteral("The grid: four voices of sixteen steps"));
    for (int v = 0; v < kVoices; ++v) {
        for (int s = 0; s < kSteps; ++s) {
            describe(
                Check1[static_cast<size_t>(cellIndex(v, s))],
                QStringLiteral("voice %1, step %2").arg(v + 1).arg(s + 1),
                QStringLiteral("When checked, voice %1 plays at step %2").arg(v + 1).arg(s + 1));
        }
    }
    describe(ticks, QStringLiteral("tick count"),
             QStringLiteral("How many steps the timer has played"));
    describe(reset, QStringLiteral("reset voice notes"),
             QStringLiteral("Sets the voice notes back to 35, 40, 42 and 82"));
    for (int i = 0; i < kVoices; ++i) {
        describe(VScroll1[static_cast<size_t>(i)], QStringLiteral("voice %1 note").arg(i + 1),
                 QStringLiteral("MIDI note number that voice %1 plays, 0 at the top to 127 at the "
                                "bottom")
                     .arg(i + 1));
        describe(Label1[static_cast<size_t>(i)], QString(),
                 QStringLiteral("The note number of voice %1").arg(i + 1));
    }
    describe(clear, QStringLiteral("clear"), QStringLiteral("Switches every cell of the grid off"));
    describe(rock, QStringLiteral("rock"), QStringLiteral("Puts a rock beat into the grid"));
    describe(Command2, QStringLiteral("start or stop"),
             QStringLiteral("Starts playback from the first step, or stops it"));
    describe(rando, QStringLiteral("random pattern"),
             QStringLiteral("Fills the grid at random, each cell on or off"));
    describe(HScroll1, QStringLiteral("tempo"),
             QStringLiteral("Length of a step, 0 to 200: to the right is slower"));
    describe(Label2, QStringLiteral("speed"), QStringLiteral("Names the tempo bar above it"));
    describe(songmode, QStringLiteral("song mode"),
             QStringLiteral("Switches song mode on or off; in song mode the song list is played"));
    describe(songlist, QStringLiteral("song list"),
             QStringLiteral("One digit per bar: the pattern that song mode plays in that bar"));
    describe(labelsongstep, QString(), QStringLiteral("The bar of the song being played"));
    describe(Label3, QStringLiteral("voices"), QStringLiteral("Names the four voice note bars"));
    describe(Command3, QStringLiteral("panic"),
             QStringLiteral("Sends All Notes Off on MIDI channel 10"));
    Label2->setBuddy(HScroll1);
    // The controls that show a value carry it in their names.
    nameShownValues();
}

void frmMain::nameShownValues() {
    withValue(labelpatno, QStringLiteral("pattern number shown"));
    withValue(labelsongstep, QStringLiteral("song position"));
    for (int i = 0; i < kVoices; ++i)
        withValue(Label1[static_cast<size_t>(i)], QStringLiteral("voice %1 note shown").arg(i + 1));
    // A checkable button: readers say "song mode, check box, checked" and announce changes.
    songmode->setChecked(m_seq.songMode());
}

void frmMain::setFocusOrder() {
    std::vector<QWidget*> order{Command1, stopbutton, Command2, HScroll1};
    for (GridCell* c : Check1)
        order.push_back(c);
    for (QScrollBar* s : VScroll1)
        order.push_back(s);
    for (QWidget* w :
         {static_cast<QWidget*>(Command3), static_cast<QWidget*>(rock),
          static_cast<QWidget*>(clear), static_cast<QWidget*>(rando), static_cast<QWidget*>(reset),
          static_cast<QWidget*>(patno), static_cast<QWidget*>(songlist),
          static_cast<QWidget*>(songmode), static_cast<QWidget*>(ticks)})
        order.push_back(w);
    for (QWidget* w : order)
        w->setFocusPolicy(Qt::StrongFocus);
    for (size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    Command1->setFocus();
}

void frmMain::connectHandlers() {
    // A click on a cell toggles the cell as the model has it, which may be ahead of what the
    // box showed (a song bar that loaded a pattern since the last frame); the box then shows
    // the model's new state. Every change of the song list goes into the model at once.
    for (int i = 0; i < kCells; ++i) {
        GridCell* cell = Check1[static_cast<size_t>(i)];
        connect(cell, &GridCell::clicked, this,
                [this, i, cell] { cell->setState(m_seq.toggleCell(i)); });
    }
    // A voice bar is brought up to the model before a key, a click or the wheel moves it, so
    // that it moves the note the model has.
    for (QScrollBar* bar : VScroll1)
        bar->installEventFilter(this);
    connect(m_frameTimer, &QTimer::timeout, this, &frmMain::Pulsor2_Tick);
    connect(songlist, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_seq.setSongList(text.toStdU16String()); });
    connect(Command2, &QPushButton::clicked, this, &frmMain::Command2_Click);
    connect(stopbutton, &QPushButton::clicked, this, &frmMain::stopbutton_Click);
    connect(HScroll1, &QScrollBar::valueChanged, this, &frmMain::HScroll1_Change);
    connect(songmode, &QPushButton::clicked, this, &frmMain::songmode_Click);
    // After the handlers: the next song bar comes at another time.
    connect(HScroll1, &QScrollBar::valueChanged, this, &frmMain::retimeFrame);
    connect(songmode, &QPushButton::clicked, this, &frmMain::retimeFrame);
    connect(patno, &QScrollBar::valueChanged, this, &frmMain::patno_Change);
    for (int i = 0; i < kVoices; ++i)
        connect(VScroll1[i], &QScrollBar::valueChanged, this, [this, i] { VScroll1_Change(i); });
    connect(clear, &QPushButton::clicked, this, &frmMain::clear_Click);
    connect(rando, &QPushButton::clicked, this, &frmMain::rando_Click);
    connect(rock, &QPushButton::clicked, this, &frmMain::rock_Click);
    connect(reset, &QPushButton::clicked, this, &frmMain::reset_Click);
    connect(Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    connect(Command3, &QPushButton::clicked, this, &frmMain::Command3_Click);
    connect(MIDIInput1, &MidiPort::Error, this, &frmMain::MIDIInput1_Error);
    connect(MIDIOutput1, &MidiPort::Error, this, &frmMain::MIDIOutput1_Error);
    connect(mnuLoadPattern, &QAction::triggered, this, &frmMain::mnuLoadPattern_Click);
    connect(MnuSavePatternAs, &QAction::triggered, this, &frmMain::MnuSavePatternAs_Click);
    connect(mnuFileExit, &QAction::triggered, this, &frmMain::mnuFileExit_Click);
    connect(mnuMidiSetup, &QAction::triggered, this, &frmMain::mnuMidiSetup_Click);
    connect(mnuMidiThru, &QAction::triggered, this, &frmMain::mnuMidiThru_Click);
    connect(mnuHelpAbout, &QAction::triggered, this, &frmMain::mnuHelpAbout_Click);
}

// ---------------------------------------------------------------- handlers

void frmMain::Form_Load() {
    // The sequencer starts at step 0 with pattern 0 selected.
    reset_Click();
    m_seq.initVoiceNotes();
    SetupPending = -1;
    centreOnScreen();
}

void frmMain::centreOnScreen() {
    QScreen* screen = this->screen();
    if (!screen)
        return;
    adjustSize();
    centreByFrame(this, screen->geometry());
}

void frmMain::Command2_Click() {
    if (setupPending())
        Command1_Click();
    m_seq.startOrStop();
    Pulsor2_Tick();
}

void frmMain::Pulsor2_Tick() {
    const SequencerSnapshot now = showModel();
    if (now.playing)
        scheduleFrame(now);
    else
        m_frameTimer->stop();
}

void frmMain::scheduleFrame(const SequencerSnapshot& now) {
    // What the window shows changes only when a step comes due. A song bar (its pattern and
    // its number) is shown as it is heard, at most once a display frame; the tick count,
    // which changes at every step, twice a second: a running count needs no more to be
    // seen running, and each look costs a repaint of about 0.4 ms of CPU (the window's and
    // the X server's), which at every step would cost more than the playing itself. A new
    // tempo or song mode times the next look again (retimeFrame).
    constexpr int64_t kFrameNs = 16'000'000;
    constexpr int64_t kCountNs = 500'000'000;
    const int64_t t = monotonicNowNs();
    int64_t at = std::max(now.nextStepDueNs, m_lastFrameNs + kCountNs);
    if (now.songMode) {
        const int64_t periodNs = int64_t(std::max(Pulsor2.Interval(), 1)) * 1'000'000;
        const int64_t barDue = now.nextStepDueNs + ((kSteps - now.currentStep) % kSteps) * periodNs;
        at = std::min(at, std::max(barDue, m_lastFrameNs + kFrameNs));
    }
    at = std::clamp(at, t, t + kCountNs);
    m_frameTimer->start(static_cast<int>((at - t + 999'999) / 1'000'000));
}

void frmMain::retimeFrame() {
    if (m_frameTimer->isActive())
        scheduleFrame(m_seq.snapshot());
}

void frmMain::stopbutton_Click() {
    mnuFileExit_Click();
}

void frmMain::HScroll1_Change() {
    m_seq.setTempo(HScroll1->value());
}

void frmMain::songmode_Click() {
    setSongModeCaption(m_seq.toggleSongMode());
}

void frmMain::patno_Change() {
    const int16_t selected = static_cast<int16_t>(patno->value());
    labelpatno->setText(QString::number(selected));
    nameShownValues();
    m_seq.selectPattern(selected);
    showModel();
}

void frmMain::VScroll1_Change(int index) {
    // A bar the user moved writes its note into the live pattern; a bar being set from the
    // model only shows it.
    QScrollBar* bar = VScroll1[static_cast<size_t>(index)];
    if (!m_showingPattern)
        m_seq.setNote(index, static_cast<int16_t>(bar->value()));
    Label1[static_cast<size_t>(index)]->setText(QString::number(bar->value()));
    nameShownValues();
}

void frmMain::editPattern(const std::function<void(LivePattern&)>& change) {
    m_seq.edit(change);
    showModel();
}

void frmMain::clear_Click() {
    editPattern(clearGrid);
}

void frmMain::rando_Click() {
    const uint64_t seed = seedFromClock();
    editPattern([seed](LivePattern& live) { randomFill(live, seed); });
}

void frmMain::rock_Click() {
    editPattern(rockPreset);
}

void frmMain::reset_Click() {
    editPattern(resetVoiceNotes);
}

void frmMain::Command1_Click() {
    if (setupPending()) {
        mnuMidiSetup_Click();
        SetupPending = 0;
    }
    MIDIInput1->setAction(PortAction::kStart);
    MIDIOutput1->setAction(PortAction::kStart);
}

void frmMain::Command3_Click() {
    sendPanic(*MIDIOutput1);
}

void frmMain::MIDIInput1_Error(int16_t& code, QString& text) {
    showPortError(code, text);
}

void frmMain::MIDIOutput1_Error(int16_t& code, QString& text) {
    showPortError(code, text);
}

void frmMain::showPortError(int16_t code, const QString& text) {
    if (!isShownError(code) || m_ending)
        return;
    m_pendingErrors.push_back(text);
    // A report that comes in while a box is open (the box runs its own event loop) waits
    // for it to close instead of opening a box on top of it.
    if (m_showingError)
        return;
    m_showingError = true;
    while (!m_pendingErrors.empty() && !m_ending) {
        const QString next = m_pendingErrors.front();
        m_pendingErrors.pop_front();
        showMessage(next);
    }
    m_showingError = false;
}

void frmMain::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, windowTitle(), text, QMessageBox::Ok, this);
    box.exec();
}

void frmMain::mnuLoadPattern_Click() {
    loadPattern(
        CMDialog1, [this](const std::function<void(LivePattern&)>& change) { editPattern(change); },
        LoadFileName);
}

void frmMain::MnuSavePatternAs_Click() {
    savePatternAs(
        CMDialog1, [this] { return m_seq.pattern().cells; }, SaveFileName,
        [this](const std::string& message) { showMessage(q(message)); });
}

void frmMain::mnuFileExit_Click() {
    // Playback ends with the program: no step is played into the ports being closed.
    m_seq.detach();
    closePortsOnExit(*MIDIInput1, *MIDIOutput1);
    endProgram();
}

void frmMain::mnuMidiSetup_Click() {
    if (!m_setupForm)
        m_setupForm = std::make_unique<MIDISetupForm>(*MIDIOutput1, *MIDIInput1, this);
    m_setupForm->exec();
    if (m_setupForm->unloaded())
        m_setupForm.reset();
    SetupPending = 0;
    // The ports are opened through this dialog only; playback may be running.
    m_seq.outputChanged();
}

void frmMain::mnuMidiThru_Click() {
    // A checkable QAction flips its own mark before this runs; the switch's state is kept
    // here and written back, so the mark toggles once per use however the item was chosen.
    m_thru = !m_thru;
    mnuMidiThru->setChecked(m_thru);
}

void frmMain::mnuHelpAbout_Click() {
    showMessage(QStringLiteral("this is a really cool pattern sequencer"));
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    // A text box would take Ctrl+A as "select all" before the menu sees it. The menu's
    // shortcut comes first from every control, the text boxes included: the event is
    // filtered out unaccepted, and the shortcut runs the save command.
    const QEvent::Type type = event->type();
    if ((type == QEvent::MouseButtonPress || type == QEvent::KeyPress || type == QEvent::Wheel) &&
        std::find(VScroll1.begin(), VScroll1.end(), watched) != VScroll1.end())
        showModel();
    if (type == QEvent::ShortcutOverride && (watched == songlist || watched == ticks)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (QKeySequence(key->keyCombination()) == MnuSavePatternAs->shortcut())
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (m_ending) {
        event->accept();
        return;
    }
    Form_Unload();
    event->accept();
}

void frmMain::endSession() {
    if (!m_ending)
        Form_Unload();
}

void frmMain::Form_Unload() {
    m_seq.detach();
    closePortsOnUnload(*MIDIInput1, *MIDIOutput1);
    endProgram();
}

void frmMain::endProgram() {
    if (m_ending)
        return;
    m_ending = true;
    // Everything ends here: a loaded setup dialog, a running playback and any open box.
    m_pendingErrors.clear();
    m_endProgram();
}

// ---------------------------------------------------------------- the model shown

std::string frmMain::songmodeTag() {
    return m_seq.songMode() ? "1" : "0";
}

void frmMain::setSongModeCaption(bool on) {
    songmode->setText(on ? QStringLiteral("S") : QString());
    nameShownValues();
}

SequencerSnapshot frmMain::showModel() {
    const SequencerSnapshot now = m_seq.snapshot();
    m_lastFrameNs = monotonicNowNs();
    if (now.tickCount > 0 && now.tickCount != m_shownTicks) {
        m_shownTicks = now.tickCount;
        ticks->setText(QString::number(now.tickCount));
    }
    if (now.songBarsStarted != m_shownSongBars) {
        m_shownSongBars = now.songBarsStarted;
        labelsongstep->setText(QStringLiteral("%1:%2").arg(now.songBar).arg(now.songBarPattern));
        nameShownValues();
    }
    if (now.patternVersion != m_shownPatternVersion) {
        m_shownPatternVersion = now.patternVersion;
        m_showingPattern = true;
        for (int i = 0; i < kCells; ++i)
            Check1[static_cast<size_t>(i)]->setState(now.pattern.cell(i));
        // Only a bar whose note changed moves, and never under a thumb being dragged: it
        // takes the model's note when let go, unless the user's own move replaces it. A bar
        // raises its change event only when its value changes, so its label follows.
        for (int v = 0; v < kVoices; ++v) {
            QScrollBar* bar = VScroll1[static_cast<size_t>(v)];
            if (!bar->isSliderDown())
                bar->setValue(now.pattern.note(v));
            else
                m_shownPatternVersion = 0;
        }
        m_showingPattern = false;
    }
    return now;
}

int16_t frmMain::EditablePattern::cell(int i) const {
    return m_window.m_seq.pattern().cell(i);
}

void frmMain::EditablePattern::setCell(int i, int16_t state) {
    m_window.editPattern([i, state](LivePattern& live) { live.setCell(i, state); });
}

int16_t frmMain::EditablePattern::note(int voice) const {
    return m_window.m_seq.pattern().note(voice);
}

void frmMain::EditablePattern::setNote(int voice, int16_t note) {
    m_window.editPattern([voice, note](LivePattern& live) { live.setNote(voice, note); });
}
