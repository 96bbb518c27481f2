#pragma once
// The columns of the window's lists and the layout kept between runs.
//
// CListColumns: every column of a list starts at its designed width, which is also the least it
// can be made (by the user or by a restore); the last column stretches to the list's edge; the
// user can resize every column. A column the user has not resized grows to fit what is on show
// when FitToContents is asked (the first column up to half the list, the others up to a third;
// never shrinking; a list out of sight is fitted when it shows), so dates, sizes,
// speeds, type names and remote names are not cut while the pane has room.
//
// CLayoutStore: the values of the settings file's group "Layout" (the window's place and size,
// the splitters, each list's columns and sort), read once and saved in one go.

#include <QHash>
#include <QObject>
#include <QString>

#include <vector>

class QAbstractItemView;
class QHeaderView;

class CListColumns : public QObject {
    Q_OBJECT
public:
    // widths: one per column of the list's model; 0 keeps a column hidden. The list is a tree
    // view or a table view (its horizontal header).
    CListColumns(QAbstractItemView& list, std::vector<int> widths);

    int MinimumWidth(int column) const;
    bool IsUserSized(int column) const;
    // Grows the columns the user has not sized to the widths their rows on show need.
    void FitToContents();
    // Asks for FitToContents after the current burst of changes (a short single-shot timer).
    void FitSoon();

    // "150,66*,100,99": each column's width, "*" after the ones the user sized.
    QString State() const;
    // Widths from State (never below the minimum); a text that is not such a list changes nothing.
    void Restore(const QString& state);

    // The columns of a list set up by this class, or null.
    static CListColumns* Of(const QAbstractItemView& list);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnSectionResized(int column, int oldSize, int newSize);
    bool IsLastVisible(int column) const;
    void SetWidth(int column, int width);

    QAbstractItemView& m_list;
    QHeaderView& m_header;
    std::vector<int> m_minimum;
    std::vector<bool> m_userSized;
    bool m_bSetting = false;
    bool m_bFitPending = false;
    bool m_bFitOnShow = false;
};

class CLayoutStore {
public:
    // The group as the settings file holds it now.
    CLayoutStore();

    QString Value(const QString& name) const { return m_values.value(name); }
    void SetValue(const QString& name, const QString& value) { m_values.insert(name, value); }
    // Writes every value that differs from the file in one save; true when nothing was to be
    // written or the save succeeded.
    bool Save();

    // "a,b,c" <-> {a, b, c}; a part that is not a number gives an empty list.
    static std::vector<int> Numbers(const QString& text);
    static QString Text(const std::vector<int>& numbers);

    static constexpr const char* kGroup = "Layout";

private:
    QHash<QString, QString> m_values;
    QHash<QString, QString> m_saved;
};
