#pragma once
// TfrmConvert: the small topmost tool window that turns degrees, minutes and
// seconds into decimal degrees. The arithmetic lives in ui/DmsConversion.h;
// this window only reads its three fields and shows the result or the error.
#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kartivo::ui {

class TfrmConvert : public QDialog {
    Q_OBJECT
public:
    explicit TfrmConvert(QWidget* parent = nullptr);

    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLineEdit* Edit1; // degrees
    QLineEdit* Edit2; // minutes
    QLineEdit* Edit3; // seconds
    QPushButton* Button1;
    QGroupBox* GroupBox2;
    QLabel* Label2;
    QLineEdit* Edit4; // result, read-only

public slots:
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool positioned_ = false;
};

} // namespace kartivo::ui
