#pragma once

#include <QCheckBox>

/// One cell of the grid: a check box with three states (0 off, 1 on, 2 dimmed). Only a
/// pattern file makes a cell dimmed; a click only ever turns a cell on or off, a dimmed
/// one on.
class GridCell : public QCheckBox {
    Q_OBJECT
public:
    explicit GridCell(QWidget* parent = nullptr);
    int16_t state() const;
    void setState(int16_t state);

protected:
    void nextCheckState() override;
};
