#include "midisetupform.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "accessibility.h"
#include "appearance.h"
#include "midi/ports/portroutines.h"
#include "placement.h"
#include "twips.h"

namespace {
// A setup list as the port routines see it.
class ComboList final : public DeviceList {
public:
    explicit ComboList(QComboBox* box) : m_box(box) {}
    void addEntry(const QString& text) override { m_box->addItem(text); }
    int count() const override { return m_box->count(); }
    int selectedIndex() const override { return m_box->currentIndex(); }
    void select(int index) override { m_box->setCurrentIndex(index); }

private:
    QComboBox* m_box;
};
}  // namespace

MIDISetupForm::MIDISetupForm(MIDIOutput& out, MIDIInput& in, QWidget* parent)
    : QDialog(parent), m_out(out), m_in(in) {
    setWindowTitle(QStringLiteral("MIDI Setup"));
    // Fixed frame with a close button only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    // No icon of its own: an empty one, so it does not take the main window's.
    setWindowIcon(QIcon());
    installFontFallbacks();
    setFont(controlFont());
    setModal(true);
    buildControls();
    Form_Load();
}

MIDISetupForm::~MIDISetupForm() = default;

void MIDISetupForm::buildControls() {
    installAccessibility();
    const double dpi = logicalDpiX();
    auto px = [dpi](int twips) { return twipsToPixels(twips, dpi); };
    auto place = [&](QWidget* w, int l, int t, int wd, int h) {
        w->setGeometry(px(l), px(t), px(wd), px(h));
    };
    setFixedSize(px(6315), px(1200));

    Label1 = new QLabel(QStringLiteral("MIDI In Device"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(Label1, 150, 240, 2115, 255);
    ComboMidiIn = new QComboBox(this);
    ComboMidiIn->setObjectName(QStringLiteral("ComboMidiIn"));
    place(ComboMidiIn, 120, 540, 2265, 300);
    Label2 = new QLabel(QStringLiteral("MIDI Out Device"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(Label2, 2490, 240, 2025, 255);
    ComboMidiOut = new QComboBox(this);
    ComboMidiOut->setObjectName(QStringLiteral("ComboMidiOut"));
    place(ComboMidiOut, 2460, 540, 2265, 300);
    CmdOk = new QPushButton(QStringLiteral("Ok"), this);
    CmdOk->setObjectName(QStringLiteral("CmdOk"));
    place(CmdOk, 5010, 240, 1005, 375);
    CmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    CmdCancel->setObjectName(QStringLiteral("CmdCancel"));
    place(CmdCancel, 5010, 690, 1005, 375);
    Label1->setBuddy(ComboMidiIn);
    Label2->setBuddy(ComboMidiOut);
    ComboMidiIn->setAccessibleName(QStringLiteral("MIDI in device"));
    ComboMidiIn->setAccessibleDescription(QStringLiteral("The device the MIDI input port opens"));
    ComboMidiOut->setAccessibleName(QStringLiteral("MIDI out device"));
    ComboMidiOut->setAccessibleDescription(QStringLiteral("The device the notes are sent to"));
    CmdOk->setAccessibleName(QStringLiteral("Ok"));
    CmdOk->setAccessibleDescription(
        QStringLiteral("Opens the ports on the chosen devices and closes this dialog"));
    CmdCancel->setAccessibleName(QStringLiteral("Cancel"));
    CmdCancel->setAccessibleDescription(
        QStringLiteral("Closes this dialog and leaves the ports as they are"));
    // Neither button is pressed by Enter.
    for (QPushButton* b : {CmdOk, CmdCancel}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    for (QWidget* w : {static_cast<QWidget*>(ComboMidiIn), static_cast<QWidget*>(ComboMidiOut),
                       static_cast<QWidget*>(CmdOk), static_cast<QWidget*>(CmdCancel)})
        w->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(ComboMidiIn, ComboMidiOut);
    setTabOrder(ComboMidiOut, CmdOk);
    setTabOrder(CmdOk, CmdCancel);
    ComboMidiIn->setFocus();

    connect(CmdOk, &QPushButton::clicked, this, &MIDISetupForm::CmdOk_Click);
    connect(CmdCancel, &QPushButton::clicked, this, &MIDISetupForm::CmdCancel_Click);
}

void MIDISetupForm::Form_Load() {
    centreOnScreen();
    ComboList out(ComboMidiOut), in(ComboMidiIn);
    loadDeviceLists(m_out, out, m_in, in);
}

void MIDISetupForm::centreOnScreen() {
    QScreen* screen = parentWidget() ? parentWidget()->screen() : this->screen();
    if (!screen)
        return;
    centreByFrame(this, screen->geometry());
}

void MIDISetupForm::CmdOk_Click() {
    ComboList out(ComboMidiOut), in(ComboMidiIn);
    applyDeviceLists(m_out, out, m_in, in);
    hide();
    accept();
}

void MIDISetupForm::CmdCancel_Click() {
    unload();
}

void MIDISetupForm::unload() {
    m_unloaded = true;
    reject();
}

void MIDISetupForm::closeEvent(QCloseEvent* event) {
    // Closed by its frame: unloaded like Cancel, without running Cancel's handler.
    m_unloaded = true;
    QDialog::closeEvent(event);
}

void MIDISetupForm::keyPressEvent(QKeyEvent* event) {
    // Esc does not close this dialog.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
