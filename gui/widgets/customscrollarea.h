#pragma once

#include <QScrollArea>

// The Velmora list's scroll area; its own class so that the form can style
// and address it apart from the other lists.
class CustomScrollArea : public QScrollArea
{
    Q_OBJECT

public:
    explicit CustomScrollArea(QWidget *parent = nullptr);
};
