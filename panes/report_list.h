#pragma once
// The look every list of the window shares: flat rows of equal height, whole rows selected
// (several with Shift and Ctrl), nothing edited in place, the focus frame across all columns.

#include <QTreeView>

inline void UseReportListLook(QTreeView& list)
{
    list.setRootIsDecorated(false);
    list.setItemsExpandable(false);
    list.setUniformRowHeights(true);
    list.setAllColumnsShowFocus(true);
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    list.setSelectionBehavior(QAbstractItemView::SelectRows);
    list.setEditTriggers(QAbstractItemView::NoEditTriggers);
}
