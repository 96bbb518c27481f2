#include "panes/list_columns.h"

#include "app/registry_key.h"

#include <QEvent>
#include <QHeaderView>
#include <QSettings>
#include <QTimer>
#include <QTableView>
#include <QTreeView>

namespace {
constexpr const char* kColumnsProperty = "talvexListColumns";
constexpr int kFitDelayMs = 300;

QHeaderView& ColumnHeader(QAbstractItemView& list)
{
    if (auto* tree = qobject_cast<QTreeView*>(&list))
        return *tree->header();
    return *static_cast<QTableView&>(list).horizontalHeader();
}
} // namespace

// ---- columns -------------------------------------------------------------------------------

CListColumns::CListColumns(QAbstractItemView& list, std::vector<int> widths)
    : QObject(&list), m_list(list), m_header(ColumnHeader(list)), m_minimum(std::move(widths)),
      m_userSized(m_minimum.size(), false)
{
    list.setProperty(kColumnsProperty, QVariant::fromValue(static_cast<QObject*>(this)));
    QHeaderView* header = &m_header;
    header->setStretchLastSection(true);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setMinimumSectionSize(qMin(header->minimumSectionSize(), 24));
    for (size_t i = 0; i < m_minimum.size(); ++i) {
        const int column = static_cast<int>(i);
        if (m_minimum[i] == 0) {
            header->setSectionHidden(column, true);
            continue;
        }
        SetWidth(column, m_minimum[i]);
    }
    connect(header, &QHeaderView::sectionResized, this, &CListColumns::OnSectionResized);
    // Rows that came while the list was out of sight (a page behind another) are fitted when
    // it shows.
    list.installEventFilter(this);
}

bool CListColumns::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &m_list && event->type() == QEvent::Show && m_bFitOnShow) {
        m_bFitOnShow = false;
        FitSoon();
    } else if (watched == &m_list && event->type() == QEvent::Resize && m_list.isVisible()) {
        FitSoon(); // more room: columns that were held back may grow now
    }
    return QObject::eventFilter(watched, event);
}

CListColumns* CListColumns::Of(const QAbstractItemView& list)
{
    return qobject_cast<CListColumns*>(list.property(kColumnsProperty).value<QObject*>());
}

int CListColumns::MinimumWidth(int column) const
{
    return column >= 0 && static_cast<size_t>(column) < m_minimum.size() ? m_minimum[static_cast<size_t>(column)] : 0;
}

bool CListColumns::IsUserSized(int column) const
{
    return column >= 0 && static_cast<size_t>(column) < m_userSized.size() && m_userSized[static_cast<size_t>(column)];
}

bool CListColumns::IsLastVisible(int column) const
{
    const QHeaderView* header = &m_header;
    for (int visual = header->count() - 1; visual >= 0; --visual) {
        const int logical = header->logicalIndex(visual);
        if (!header->isSectionHidden(logical))
            return logical == column;
    }
    return false;
}

void CListColumns::SetWidth(int column, int width)
{
    m_bSetting = true;
    m_header.resizeSection(column, width);
    m_bSetting = false;
}

void CListColumns::OnSectionResized(int column, int, int newSize)
{
    // The last column follows the list's edge: its width is never the user's choice.
    if (m_bSetting || IsLastVisible(column) || column < 0 || static_cast<size_t>(column) >= m_minimum.size())
        return;
    if (m_header.isSectionHidden(column))
        return;
    m_userSized[static_cast<size_t>(column)] = true;
    const int minimum = m_minimum[static_cast<size_t>(column)];
    if (newSize < minimum)
        QTimer::singleShot(0, this, [this, column, minimum] {
            if (m_header.sectionSize(column) < minimum)
                SetWidth(column, minimum);
        });
}

void CListColumns::FitToContents()
{
    m_bFitPending = false;
    if (!m_list.isVisible()) {
        m_bFitOnShow = true;
        return;
    }
    // The first column (names, paths) may take half the list, the others a third; and no
    // column grows into the room the last column needs for what it shows (dates, speeds).
    const int width = m_list.viewport()->width();
    QAbstractItemView& view = m_list;
    int last = -1;
    int used = 0;
    for (size_t i = 0; i < m_minimum.size(); ++i) {
        const int column = static_cast<int>(i);
        if (m_header.isSectionHidden(column))
            continue;
        if (IsLastVisible(column))
            last = column;
        else
            used += m_header.sectionSize(column);
    }
    if (last < 0)
        return;
    const int lastNeeds = qMax(MinimumWidth(last), qMax(m_header.sectionSizeHint(last), view.sizeHintForColumn(last)));
    int room = width - used - lastNeeds;
    for (size_t i = 0; i < m_minimum.size() && room > 0; ++i) {
        const int column = static_cast<int>(i);
        if (m_userSized[i] || m_minimum[i] == 0 || column == last || m_header.isSectionHidden(column))
            continue;
        const int cap = qMax(120, i == 0 ? width / 2 : width / 3);
        const int header = m_header.sectionSizeHint(column);
        const int wanted = qMin(cap, qMax(header, view.sizeHintForColumn(column)));
        const int grow = qMin(room, wanted - m_header.sectionSize(column));
        if (grow > 0) {
            SetWidth(column, m_header.sectionSize(column) + grow);
            room -= grow;
        }
    }
}

void CListColumns::FitSoon()
{
    if (m_bFitPending)
        return;
    m_bFitPending = true;
    QTimer::singleShot(kFitDelayMs, this, [this] {
        if (m_bFitPending)
            FitToContents();
    });
}

QString CListColumns::State() const
{
    QStringList parts;
    for (size_t i = 0; i < m_minimum.size(); ++i) {
        QString part = QString::number(m_header.isSectionHidden(static_cast<int>(i)) ? 0 : m_header.sectionSize(static_cast<int>(i)));
        if (m_userSized[i])
            part += QLatin1Char('*');
        parts.append(part);
    }
    return parts.join(QLatin1Char(','));
}

void CListColumns::Restore(const QString& state)
{
    const QStringList parts = state.split(QLatin1Char(','));
    if (state.isEmpty() || static_cast<size_t>(parts.size()) != m_minimum.size())
        return;
    std::vector<int> widths;
    std::vector<bool> user;
    for (QString part : parts) {
        const bool star = part.endsWith(QLatin1Char('*'));
        if (star)
            part.chop(1);
        bool ok = false;
        const int width = part.toInt(&ok);
        if (!ok || width < 0 || width > 10000)
            return;
        widths.push_back(width);
        user.push_back(star);
    }
    for (size_t i = 0; i < m_minimum.size(); ++i) {
        if (m_minimum[i] == 0)
            continue; // hidden by design
        SetWidth(static_cast<int>(i), qMax(m_minimum[i], widths[i]));
        m_userSized[i] = user[i];
    }
}

// ---- store ---------------------------------------------------------------------------------

CLayoutStore::CLayoutStore()
{
    QSettings file(CRegistryKey::SettingsFile(), QSettings::IniFormat);
    file.beginGroup(QString::fromLatin1(kGroup));
    for (const QString& key : file.childKeys())
        m_values.insert(key, file.value(key).toString());
    m_saved = m_values;
}

bool CLayoutStore::Save()
{
    QHash<QString, QString> changed;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        if (m_saved.value(it.key()) != it.value() || !m_saved.contains(it.key()))
            changed.insert(it.key(), it.value());
    if (changed.isEmpty())
        return true;
    const bool ok = SaveSettingsChange(CRegistryKey::SettingsFile(), [&changed](QSettings& file) {
        file.beginGroup(QString::fromLatin1(kGroup));
        for (auto it = changed.cbegin(); it != changed.cend(); ++it)
            file.setValue(it.key(), it.value());
        file.endGroup();
    });
    if (ok)
        m_saved = m_values;
    return ok;
}

std::vector<int> CLayoutStore::Numbers(const QString& text)
{
    std::vector<int> numbers;
    if (text.isEmpty())
        return numbers;
    for (const QString& part : text.split(QLatin1Char(','))) {
        bool ok = false;
        const int n = part.trimmed().toInt(&ok);
        if (!ok)
            return {};
        numbers.push_back(n);
    }
    return numbers;
}

QString CLayoutStore::Text(const std::vector<int>& numbers)
{
    QStringList parts;
    for (int n : numbers)
        parts.append(QString::number(n));
    return parts.join(QLatin1Char(','));
}
