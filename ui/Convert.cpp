#include "ui/Convert.h"

TfrmConvert::TfrmConvert(QWidget* parent) : QDialog(parent) {}
