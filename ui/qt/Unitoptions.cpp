#include "ui/qt/Unitoptions.h"

#include "platform/Dialogs.h"
#include "platform/Settings.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtText.h"
#include "ui/OptionsSettings.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace kartivo::ui {

using platform::qt::FromQ;
using platform::qt::ToQ;

TfrmOptions::TfrmOptions(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName("frmOptions");
    setWindowTitle("Options");
    QFont f = font();
    f.setPointSize(8);
    setFont(f);
    setFixedSize(360, 342);

    // The default folder, in a bevelled panel at the top.
    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(8, 8, 344, 72);
    Label1 = new QLabel("Default path to save :", Panel1);
    Label1->setGeometry(12, 10, 320, 18);
    Edit12 = new QLineEdit(Panel1);
    Edit12->setGeometry(12, 34, 283, 24);
    Button3 = new QPushButton("...", Panel1);
    Button3->setGeometry(301, 34, 31, 24);

    // The proxy, in a group box without a caption. The fields stay editable
    // whatever the check box says: the check box only decides whether Start
    // uses them.
    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(8, 88, 344, 190);
    CheckBoxUseProxy = new QCheckBox("Use proxy server", GroupBox1);
    CheckBoxUseProxy->setGeometry(12, 14, 320, 22);
    auto row = [this](const char* caption, int y, QLabel*& label, QLineEdit*& edit) {
        label = new QLabel(caption, GroupBox1);
        label->setGeometry(12, y + 3, 150, 18);
        edit = new QLineEdit(GroupBox1);
        edit->setGeometry(168, y, 164, 24);
    };
    row("Proxy Server Name (IP)", 48, Label3, EditProxyServer);
    row("Proxy Port", 84, Label4, EditProxyPort);
    row("Proxy Username", 120, Label5, EditProxyUsername);
    row("Proxy Password", 156, Label6, EditProxyPassword);
    // The password shows as dots, so that it is not read over the user's
    // shoulder; "Show" beside it reveals it for checking what was typed.
    EditProxyPassword->setEchoMode(QLineEdit::Password);
    EditProxyPassword->setGeometry(168, 156, 112, 24);
    CheckBoxShowPassword = new QCheckBox("Show", GroupBox1);
    CheckBoxShowPassword->setObjectName("CheckBoxShowPassword");
    CheckBoxShowPassword->setGeometry(284, 157, 52, 22);
    connect(CheckBoxShowPassword, &QCheckBox::toggled, this, [this](bool show) {
        EditProxyPassword->setEchoMode(show ? QLineEdit::Normal : QLineEdit::Password);
    });

    // Under the fields: the file the values come from and go to. A long path
    // is shortened in the middle; the tool tip holds it whole.
    LabelSettingsFile = new QLabel(this);
    LabelSettingsFile->setObjectName("LabelSettingsFile");
    LabelSettingsFile->setGeometry(10, 282, 340, 18);
    LabelSettingsFile->setTextInteractionFlags(Qt::TextSelectableByMouse);

    Button1 = new QPushButton("OK", this);
    Button1->setGeometry(196, 306, 75, 25);
    Button1->setDefault(true);
    Button2 = new QPushButton("Cancel", this);
    Button2->setGeometry(277, 306, 75, 25);

    setTabOrder(Edit12, Button3);
    setTabOrder(Button3, CheckBoxUseProxy);
    setTabOrder(CheckBoxUseProxy, EditProxyServer);
    setTabOrder(EditProxyServer, EditProxyPort);
    setTabOrder(EditProxyPort, EditProxyUsername);
    setTabOrder(EditProxyUsername, EditProxyPassword);
    setTabOrder(EditProxyPassword, CheckBoxShowPassword);
    setTabOrder(CheckBoxShowPassword, Button1);
    setTabOrder(Button1, Button2);

    connect(Button3, &QPushButton::clicked, this, &TfrmOptions::Button3Click);
    connect(Button1, &QPushButton::clicked, this, &TfrmOptions::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TfrmOptions::Button2Click);
}

void TfrmOptions::ShowValues(const OptionsValues& v)
{
    Edit12->setText(ToQ(v.DefaultPath));
    CheckBoxUseProxy->setChecked(v.UseProxy);
    EditProxyServer->setText(ToQ(v.ProxyServer));
    EditProxyPort->setText(ToQ(v.ProxyPort));
    EditProxyUsername->setText(ToQ(v.ProxyUsername));
    EditProxyPassword->setText(ToQ(v.ProxyPassword));
}

OptionsValues TfrmOptions::TypedValues() const
{
    OptionsValues v;
    v.DefaultPath = FromQ(Edit12->text());
    v.UseProxy = CheckBoxUseProxy->isChecked();
    v.ProxyServer = FromQ(EditProxyServer->text());
    v.ProxyPort = FromQ(EditProxyPort->text());
    v.ProxyUsername = FromQ(EditProxyUsername->text());
    v.ProxyPassword = FromQ(EditProxyPassword->text());
    return v;
}

void TfrmOptions::ShowSettingsFile(const std::string& fileName)
{
    const QString full = "Settings file: " + ToQ(fileName);
    LabelSettingsFile->setText(
        LabelSettingsFile->fontMetrics().elidedText(full, Qt::ElideMiddle, LabelSettingsFile->width()));
    LabelSettingsFile->setToolTip(ToQ(fileName));
}

void TfrmOptions::FormShow()
{
    // Whatever was typed and not confirmed before is replaced by the file.
    platform::qt::RunGuarded([this] {
        const std::string fileName = platform::SettingsFileName();
        ShowSettingsFile(fileName);
        ShowValues(LoadOptions(fileName));
        // Every showing starts with the password hidden again.
        CheckBoxShowPassword->setChecked(false);
    });
}

void TfrmOptions::Button3Click()
{
    platform::qt::RunGuarded([this] {
        if (const auto folder = platform::Dialogs().BrowseFolder("Select path"))
            Edit12->setText(ToQ(*folder));
    });
}

void TfrmOptions::Button1Click()
{
    // On a refused write the error box shows and the dialog stays open.
    platform::qt::RunGuarded([this] {
        SaveOptions(platform::SettingsFileForWriting(), TypedValues());
        accept();
    });
}

void TfrmOptions::Button2Click() { reject(); }

void TfrmOptions::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TfrmOptions::keyPressEvent(QKeyEvent* event)
{
    // Esc is not bound to Cancel: only the button and the close box cancel.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace kartivo::ui
