#include "res/accessible_texts.h"
#include "panes/flat_tab_view.h"

#include "app/prompt.h"
#include "panes/result_views.h"

#include <QAbstractItemView>
#include <QFrame>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {
struct PageInfo {
    const char* objectName;
    unsigned titleId;
};
constexpr PageInfo kPages[] = {
    {"CQueueView", 313}, {"CProcessView", 320}, {"CCompleteResultView", 316},
    {"CFailView", 314},  {"CScheduleView", 319}, {"CFindView", 321},
};
} // namespace

CFlatTabView::CFlatTabView(bool syncService, QWidget* parent) : QWidget(parent), m_pTabs(new QTabWidget(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pTabs);
    m_pTabs->setObjectName(QStringLiteral("tabStrip"));
    m_pTabs->setDocumentMode(true);
    m_pTabs->setTabPosition(QTabWidget::South);
    m_pTabs->setUsesScrollButtons(true);
    for (int i = 0; i < FindPage + 1; ++i) {
        auto* page = new QFrame;
        page->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        page->setBackgroundRole(QPalette::Base);
        page->setAutoFillBackground(true);
        page->setObjectName(QString::fromLatin1(kPages[i].objectName));
        m_pTabs->addTab(page, Str(kPages[i].titleId));
    }
    SetSyncService(syncService);
    m_pTabs->setCurrentIndex(0);
    connect(m_pTabs, &QTabWidget::currentChanged, this, &CFlatTabView::currentPageChanged);
    // Alt+1 … Alt+7 bring a page to the front and put the focus on its list, from anywhere in
    // the window (Ctrl+Tab moves between the pages while the focus is in one).
    for (int i = 0; i < PageCount; ++i) {
        auto* key = new QShortcut(QKeySequence(Qt::ALT | static_cast<Qt::Key>(Qt::Key_1 + i)), this);
        key->setContext(Qt::WindowShortcut);
        connect(key, &QShortcut::activated, this, [this, i] { FocusPage(i); });
    }
}

void CFlatTabView::FocusPage(int index)
{
    if (index < 0 || index >= m_pTabs->count())
        return;
    m_pTabs->setCurrentIndex(index);
    QWidget* page = m_pTabs->widget(index);
    const auto lists = page->findChildren<QAbstractItemView*>();
    if (!lists.isEmpty())
        lists.first()->setFocus(Qt::ShortcutFocusReason);
    else
        page->setFocus(Qt::ShortcutFocusReason);
}

void CFlatTabView::SetSyncService(bool syncService)
{
    m_pTabs->setTabText(ProcessPage, Str(syncService ? 318 : kPages[ProcessPage].titleId));
    NameLists(ProcessPage);
}

void CFlatTabView::NameLists(int index)
{
    // A page's lists are called by its tab: a screen reader tells the pages apart by them.
    QWidget* page = m_pTabs->widget(index);
    if (!page)
        return;
    const QString name = QString::fromUtf8(talvex::kAccPageList).arg(m_pTabs->tabText(index));
    for (QAbstractItemView* list : page->findChildren<QAbstractItemView*>())
        list->setAccessibleName(name);
}

void CFlatTabView::SetPage(int index, QWidget* page)
{
    if (index < 0 || index >= m_pTabs->count() || !page)
        return;
    const QString title = m_pTabs->tabText(index);
    const int current = m_pTabs->currentIndex();
    QWidget* old = m_pTabs->widget(index);
    m_pTabs->blockSignals(true);
    m_pTabs->removeTab(index);
    m_pTabs->insertTab(index, page, title);
    m_pTabs->setCurrentIndex(current);
    m_pTabs->blockSignals(false);
    NameLists(index);
    if (old != page)
        old->deleteLater();
}

QWidget* CFlatTabView::PageAt(int index) const { return m_pTabs->widget(index); }

void CFlatTabView::SelectPage(int index)
{
    if (index < 0 || index >= m_pTabs->count())
        return;
    m_pTabs->setCurrentIndex(index);
}

int CFlatTabView::CurrentPage() const { return m_pTabs->currentIndex(); }

int CFlatTabView::TabCount() const { return m_pTabs->count(); }

QString CFlatTabView::TabTitle(int index) const { return m_pTabs->tabText(index); }

void CFlatTabView::AddDrmPageWidget(QWidget* page)
{
    RemoveDrmPage();
    page->setObjectName(QStringLiteral("CDRMView"));
    m_pTabs->insertTab(DrmPage, page, Str(317));
    m_pTabs->setCurrentIndex(QueuePage);
}

void CFlatTabView::RemoveDrmPage()
{
    if (m_pTabs->count() <= DrmPage)
        return;
    QWidget* page = m_pTabs->widget(DrmPage);
    const bool wasShown = m_pTabs->currentIndex() == DrmPage;
    m_pTabs->removeTab(DrmPage);
    page->deleteLater();
    if (wasShown)
        m_pTabs->setCurrentIndex(QueuePage); // not whichever page was beside it
}

void CFlatTabView::AddProgressRow(const CResultRowTexts& texts, const QString& moveFolder, const void* key)
{
    if (auto* page = qobject_cast<CProcessView*>(PageAt(ProcessPage)))
        page->AddResultRow(texts, moveFolder, key);
}

void CFlatTabView::AddCompleteRow(const CResultRowTexts& texts)
{
    if (auto* page = qobject_cast<CCompleteResultView*>(PageAt(CompletePage)))
        page->AddResultRow(texts);
}

void CFlatTabView::AddFailRow(const CResultRowTexts& texts)
{
    if (auto* page = qobject_cast<CFailView*>(PageAt(FailPage)))
        page->AddResultRow(texts);
}
