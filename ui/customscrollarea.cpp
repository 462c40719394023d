#include "ui/customscrollarea.h"

CustomScrollArea::CustomScrollArea(QWidget *parent)
    : QScrollArea(parent)
{
}
