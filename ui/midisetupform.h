#pragma once

#include <QDialog>

class MIDIInput;
class MIDIOutput;
class QComboBox;
class QLabel;
class QPushButton;

/// The MIDI setup dialog. Constructing it is loading it: the load steps list the devices
/// and open both ports on the first entries. OK reopens the ports on the chosen entries and
/// hides the dialog, which stays loaded; Cancel or closing it by its frame unloads it (the
/// owner then destroys it).
class MIDISetupForm : public QDialog {
    Q_OBJECT
public:
    MIDISetupForm(MIDIOutput& out, MIDIInput& in, QWidget* parent = nullptr);
    ~MIDISetupForm() override;

    /// True once Cancel or the frame has unloaded the dialog.
    bool unloaded() const { return m_unloaded; }

    QLabel* Label1 = nullptr;
    QComboBox* ComboMidiIn = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* ComboMidiOut = nullptr;
    QPushButton* CmdOk = nullptr;
    QPushButton* CmdCancel = nullptr;

public slots:
    void CmdOk_Click();
    void CmdCancel_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Form_Load();
    void buildControls();
    void centreOnScreen();
    void unload();

    MIDIOutput& m_out;
    MIDIInput& m_in;
    bool m_unloaded = false;
};
