#pragma once
// TfrmOptions (placeholder until the window is built).
#include <QDialog>

class TfrmOptions : public QDialog {
    Q_OBJECT
public:
    explicit TfrmOptions(QWidget* parent = nullptr);
};
