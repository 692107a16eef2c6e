#include "DriverDesc.h"

SDriverDesc CooledTwinDesc(const SDriverDesc& model, const STwinDiff& diff) {
    SDriverDesc d = model;
    d.szClassName = diff.szClassName;
    d.model.szName = diff.szName;
    d.model.szShortName = diff.szShortName;
    d.model.iPID = diff.iPID;
    d.model.iST4 = -1;
    d.initTable = diff.initTable;
    return d;
}
