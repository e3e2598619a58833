#pragma once
// TfrmConvert (placeholder until the window is built).
#include <QDialog>

class TfrmConvert : public QDialog {
    Q_OBJECT
public:
    explicit TfrmConvert(QWidget* parent = nullptr);
};
