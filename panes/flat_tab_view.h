#pragma once
// CFlatTabView: the bottom pane of the main window. Its pages sit under fixed indexes that
// the main frame relies on: 0 upload queue, 1 progress, 2 completed, 3 failed, 4 schedule,
// 5 search results and, while the account uses DRM, 6 the DRM page.

#include <QWidget>

class QTabWidget;
struct CResultRowTexts;

class CFlatTabView : public QWidget {
    Q_OBJECT
public:
    enum Page { QueuePage = 0, ProcessPage, CompletePage, FailPage, SchedulePage, FindPage, DrmPage, PageCount };

    // syncService: the progress page's title for sync-service accounts (318) or others.
    explicit CFlatTabView(bool syncService, QWidget* parent = nullptr);
    // The account's service type is known once the web check answers: the progress page's
    // title follows it.
    void SetSyncService(bool syncService);

    // Puts a page view in place (the tab keeps its index and title).
    void SetPage(int index, QWidget* page);
    QWidget* PageAt(int index) const;

    void SelectPage(int index); // -1 changes nothing
    // Alt+1 … Alt+7: the page comes to the front with the focus on its list.
    void FocusPage(int index);
    int CurrentPage() const;
    int TabCount() const;
    QString TabTitle(int index) const;

    // The DRM page: added as tab 6 (replacing an existing one), removed when present.
    void AddDrmPageWidget(QWidget* page);
    void RemoveDrmPage();

    // The queue and the result pages reach each other through these: a progress row (page 1),
    // a completed row (page 2), a fail row (page 3). Nothing happens while the page is not in place.
    void AddProgressRow(const CResultRowTexts& texts, const QString& moveFolder, const void* key = nullptr);
    void AddCompleteRow(const CResultRowTexts& texts);
    void AddFailRow(const CResultRowTexts& texts);

    QTabWidget* Tabs() const { return m_pTabs; }

signals:
    void currentPageChanged(int index);

private:
    void NameLists(int index);
    QTabWidget* m_pTabs;
};
