#pragma once
// TfrmFlt (placeholder until the window is built).
#include <QDialog>

class TfrmFlt : public QDialog {
    Q_OBJECT
public:
    explicit TfrmFlt(QWidget* parent = nullptr);
};
