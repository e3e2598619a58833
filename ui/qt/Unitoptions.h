#pragma once
// TfrmOptions: the modal options dialog that edits the default save folder
// and the proxy in the settings file. It reads the file each time it is
// shown and writes it only on OK; the file work is in ui/OptionsSettings.h.
// A line under the fields names the settings file in use (beside the program
// or in the user's configuration folder, see platform/Settings.h).
#include <QDialog>

#include <string>

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kartivo::ui {

struct OptionsValues;

class TfrmOptions : public QDialog {
    Q_OBJECT
public:
    explicit TfrmOptions(QWidget* parent = nullptr);

    QFrame* Panel1;
    QLabel* Label1;
    QLineEdit* Edit12;
    QPushButton* Button3;
    QGroupBox* GroupBox1;
    QCheckBox* CheckBoxUseProxy;
    QLabel* Label3;
    QLineEdit* EditProxyServer;
    QLabel* Label4;
    QLineEdit* EditProxyPort;
    QLabel* Label5;
    QLineEdit* EditProxyUsername;
    QLabel* Label6;
    QLineEdit* EditProxyPassword;    // shown as dots
    QCheckBox* CheckBoxShowPassword; // shows the password as typed
    QLabel* LabelSettingsFile;       // which settings file the dialog reads and writes
    QPushButton* Button1;            // OK
    QPushButton* Button2;            // Cancel

public slots:
    void FormShow();
    void Button3Click();
    void Button1Click();
    void Button2Click();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowValues(const OptionsValues& values);
    void ShowSettingsFile(const std::string& fileName);
    OptionsValues TypedValues() const;
};

} // namespace kartivo::ui
