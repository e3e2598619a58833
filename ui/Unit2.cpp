#include "ui/Unit2.h"

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {}
