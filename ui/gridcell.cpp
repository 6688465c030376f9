#include "gridcell.h"

GridCell::GridCell(QWidget* parent) : QCheckBox(parent) {
    setTristate(true);
}

int16_t GridCell::state() const {
    switch (checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        default:
            return 0;
    }
}

void GridCell::setState(int16_t state) {
    switch (state) {
        case 1:
            setCheckState(Qt::Checked);
            break;
        case 2:
            setCheckState(Qt::PartiallyChecked);
            break;
        case 0:
            setCheckState(Qt::Unchecked);
            break;
        default:
            break;  // not a cell state: the cell keeps its own
    }
}

void GridCell::nextCheckState() {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}
