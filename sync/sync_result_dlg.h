#pragma once
// The modal dialog of a sync job with failed files: the counts, and on request the paths of the
// failed files, read from the result file the control session left in the working folder.
// OK deletes the result file.

#include "protocol/records.h"

#include <QDialog>
#include <QStringList>

#include <memory>

class QLineEdit;
class QPushButton;
class QTreeWidget;

class CSyncResultDlg : public QDialog {
    Q_OBJECT
public:
    CSyncResultDlg(std::unique_ptr<talvex::CSyncNoticeList> result, bool check, QString resultFile,
                   QWidget* parent = nullptr);

    QString TotalText() const;
    QString FailText() const;
    QStringList ListedPaths() const;
    QPushButton* ListButton() const { return m_pListButton; }
    QTreeWidget* List() const { return m_pList; }

public slots:
    // Fills the list with the failed paths of the result file (button "실패파일 목록보기").
    void ShowFailList();
    // Deletes the result file and closes.
    void accept() override;

private:
    void AddPath(const QString& path);

    std::unique_ptr<talvex::CSyncNoticeList> m_pResult;
    bool m_bCheck;
    QString m_strResultFile;
    int m_nFailCount = 0;
    QLineEdit* m_pTotal = nullptr;
    QLineEdit* m_pFail = nullptr;
    QTreeWidget* m_pList = nullptr;
    QPushButton* m_pListButton = nullptr;
};
