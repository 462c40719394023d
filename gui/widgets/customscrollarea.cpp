#include "widgets/customscrollarea.h"

CustomScrollArea::CustomScrollArea(QWidget *parent)
    : QScrollArea(parent)
{
}
