#pragma once
// CWindowLayout: the layout the user gave the main window — its place and size (and whether
// it was maximised), the two splitters, each list's columns and the local pane's sort — kept in
// the settings' "Layout" group. Restored when the window is made (the splitters once it has
// been laid out), written when it closes.

#include <QList>
#include <QPair>
#include <QString>

#include <memory>

class CLayoutStore;
class CLocalListCtrl;
class QMainWindow;
class QSplitter;
class QAbstractItemView;

class CWindowLayout {
public:
    struct Parts {
        QMainWindow* window = nullptr;
        QSplitter* main = nullptr; // upper panes above, tab pane below
        QSplitter* top = nullptr;  // local pane left, remote pane right
        CLocalListCtrl* local = nullptr;
        QList<QPair<QString, QAbstractItemView*>> lists; // each kept list under its name
    };

    // Reads the settings and restores the lists, the local sort and the window's place.
    explicit CWindowLayout(Parts parts);
    ~CWindowLayout();

    // Once the window is laid out: the splitters as the user left them, else the tab pane gets
    // about 240 pixels at the bottom and the two upper panes are equally wide.
    void RestoreSplitters();
    // Writes the layout; the splitters only once they have been laid out (RestoreSplitters).
    void Save();

private:
    Parts m_parts;
    std::unique_ptr<CLayoutStore> m_store;
    bool m_bSplittersLaidOut = false;
};
