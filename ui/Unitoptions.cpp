#include "ui/Unitoptions.h"

TfrmOptions::TfrmOptions(QWidget* parent) : QDialog(parent) {}
