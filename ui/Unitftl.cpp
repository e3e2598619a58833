#include "ui/Unitftl.h"

TfrmFlt::TfrmFlt(QWidget* parent) : QDialog(parent) {}
