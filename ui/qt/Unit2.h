#pragma once
// TfrmAbout: the About window. It shows the main window's caption, the
// developer line, the picture, and the homepage and mail links, which open
// with the desktop's handlers when clicked.
#include <QDialog>

class QLabel;
class QPushButton;
class QFrame;

namespace kartivo::ui {

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* parent = nullptr);

    QFrame* Panel1;
    QLabel* Label3; // the main window's caption
    QLabel* Label8; // developer line
    QLabel* Image1;
    QLabel* Label5;
    QLabel* Label4; // homepage link
    QLabel* Label6;
    QLabel* Label7; // mail link
    QPushButton* bLater;

public slots:
    void FormShow();
    void Label4Click();
    void Label7Click();
    void bLaterClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace kartivo::ui
