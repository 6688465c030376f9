#pragma once

#include <QMainWindow>

#include <array>
#include <deque>
#include <functional>
#include <memory>

#include "core/pulsor.h"
#include "core/sequencer.h"
#include "files/commondialog.h"

class GridCell;
class MIDIInput;
class MIDIOutput;
class MIDISetupForm;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QTimer;

/// What the main window is built with. The program passes the real ports; tests pass ports
/// over recording backends and an `endProgram` that only records.
struct FrmMainParts {
    std::unique_ptr<MIDIInput> input;
    std::unique_ptr<MIDIOutput> output;
    /// Ends the program once the ports are closed. Default: leave the event loops.
    std::function<void()> endProgram;
    /// What shows the file dialog. Default: the toolkit's file dialog.
    std::unique_ptr<FileDialogPresenter> fileDialog;
};

/// The main window. Its controls show the sequencer's model (the live pattern, the song)
/// and write every change the user makes into it at once; every event goes to a handler
/// named after its control and event, which makes one call into the rules. What the step
/// engine changes while it plays is shown at the display's pace: the window takes a
/// snapshot of the model at most once a frame (Pulsor2_Tick).
class frmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit frmMain(FrmMainParts parts, QWidget* parent = nullptr);
    ~frmMain() override;

    Sequencer& sequencer() { return m_seq; }
    /// The live pattern as a user edits it: each change goes into the model and shows.
    LivePattern& livePattern() { return m_pattern; }
    /// The session asks the program to end (a signal): the ports are closed as when the
    /// window is closed, even while a modal box is open.
    void endSession();
    /// The `Tag` text of the `songmode` button: "1" while song mode is on.
    std::string songmodeTag();
    bool setupPending() const { return SetupPending == -1; }
    /// The setup dialog while it is loaded (shown or hidden), else null.
    MIDISetupForm* setupForm() const { return m_setupForm.get(); }

    // State that only the window's handlers use. SetupPending is a 16-bit flag: only -1 is
    // true.
    int16_t SetupPending = 0;
    std::string SaveFileName;
    std::string LoadFileName;

    // Components.
    Pulsor Pulsor2;
    MIDIInput* MIDIInput1 = nullptr;
    MIDIOutput* MIDIOutput1 = nullptr;
    CommonDialog CMDialog1;

    // Controls.
    QPushButton* Command1 = nullptr;
    QPushButton* stopbutton = nullptr;
    QLabel* labelpatno = nullptr;
    QScrollBar* patno = nullptr;
    QGroupBox* Frame1 = nullptr;
    std::array<GridCell*, kCells> Check1{};
    QLineEdit* ticks = nullptr;
    QPushButton* reset = nullptr;
    std::array<QScrollBar*, kVoices> VScroll1{};
    QPushButton* clear = nullptr;
    QPushButton* rock = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* rando = nullptr;
    QScrollBar* HScroll1 = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* songmode = nullptr;
    QLineEdit* songlist = nullptr;
    QLabel* labelsongstep = nullptr;
    std::array<QLabel*, kVoices> Label1{};
    QLabel* Label3 = nullptr;
    QPushButton* Command3 = nullptr;

    // Menu items.
    QAction* mnuLoadPattern = nullptr;
    QAction* MnuSavePatternAs = nullptr;
    QAction* mnuFileExit = nullptr;
    QAction* mnuMidiSetup = nullptr;
    QAction* mnuMidiThru = nullptr;
    QAction* mnuHelpAbout = nullptr;

public slots:
    void Form_Load();
    void Command2_Click();
    /// What the timer's ticks changed, shown: the tick count, the song bar, a pattern a
    /// bar loaded. The ticks themselves are played by the step engine on the timer's own
    /// thread, ahead of time; this runs, while playing, as the steps it shows come due.
    void Pulsor2_Tick();
    void stopbutton_Click();
    void HScroll1_Change();
    void songmode_Click();
    void patno_Change();
    void VScroll1_Change(int index);
    void clear_Click();
    void rando_Click();
    void rock_Click();
    void reset_Click();
    void Command1_Click();
    void Command3_Click();
    void MIDIInput1_Error(int16_t& code, QString& text);
    void MIDIOutput1_Error(int16_t& code, QString& text);
    void mnuLoadPattern_Click();
    void MnuSavePatternAs_Click();
    void mnuFileExit_Click();
    void mnuMidiSetup_Click();
    void mnuMidiThru_Click();
    void mnuHelpAbout_Click();

protected:
    /// The window closed by its frame: Form_Unload.
    void closeEvent(QCloseEvent* event) override;
    /// Keeps the text boxes' own Ctrl+A from hiding the menu's.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Unload();
    void buildControls();
    void buildMenus();
    void describeControls();
    /// Gives the number labels accessible names that carry the value they show, and the
    /// song-mode button the checked state that says whether song mode is on.
    void nameShownValues();
    void setFocusOrder();
    void connectHandlers();
    void centreOnScreen();
    void place(QWidget* w, int left, int top, int width, int height);
    int px(int twips) const;
    void showPortError(int16_t code, const QString& text);
    void showMessage(const QString& text);
    void endProgram();
    /// Runs `change` on the live pattern as one edit; the grid and bars then show it.
    void editPattern(const std::function<void(LivePattern&)>& change);

    /// Sets the widgets that show the model to what it is now; only those that differ.
    SequencerSnapshot showModel();
    /// Arms the next look at the model, for when a step it will show has been heard.
    void scheduleFrame(const SequencerSnapshot& now);
    void retimeFrame();
    void setSongModeCaption(bool on);

    /// livePattern(): reads the model, and edits it as a user's click would.
    class EditablePattern final : public LivePattern {
    public:
        explicit EditablePattern(frmMain& window) : m_window(window) {}
        int16_t cell(int i) const override;
        void setCell(int i, int16_t state) override;
        int16_t note(int voice) const override;
        void setNote(int voice, int16_t note) override;

    private:
        frmMain& m_window;
    };

    std::unique_ptr<MIDIInput> m_input;
    std::unique_ptr<MIDIOutput> m_output;
    std::function<void()> m_endProgram;
    Sequencer m_seq;
    EditablePattern m_pattern{*this};
    std::unique_ptr<MIDISetupForm> m_setupForm;
    bool m_thru = true;  // the Thru item's check mark; nothing reads it
    // True while the widgets are being set from the model: their change events then show a
    // value, and write nothing back.
    bool m_showingPattern = false;
    // Runs Pulsor2_Tick while playing: as each step is heard, at most once a frame.
    QTimer* m_frameTimer = nullptr;
    int64_t m_lastFrameNs = 0;
    // What the widgets show of the model.
    uint64_t m_shownPatternVersion = 0;
    int32_t m_shownTicks = 0;
    uint64_t m_shownSongBars = 0;
    double m_dpi = 96.0;
    bool m_ending = false;
    // Port errors that arrive while one is being shown wait here, so the handler never
    // runs inside its own message box.
    std::deque<QString> m_pendingErrors;
    bool m_showingError = false;
};
