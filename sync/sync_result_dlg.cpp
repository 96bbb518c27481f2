#include "sync/sync_result_dlg.h"

#include "app/prompt.h"
#include "panes/file_icons.h"
#include "platform/profile_reader.h"
#include "platform/text_codec.h"
#include "platform/text_util.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

#include <cstdio>
#include <map>

using namespace talvex;

namespace {

constexpr qint64 kMaxResultFile = qint64{16} << 20; // larger files hold no usable entries
constexpr size_t kValueBuffer = 255;              // values are cut to this buffer, as read elsewhere
constexpr char kSection[] = "CheckSync";

// Key number n of a key name written exactly as the decimal n (1 .. limit), else 0.
int KeyNumber(std::string_view key, int limit)
{
    if (key.empty() || key.size() > 10 || key.front() == '0')
        return 0;
    int64_t n = 0;
    for (char c : key) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + (c - '0');
    }
    return n <= limit ? static_cast<int>(n) : 0;
}

// The values of the keys "1" .. "limit" of the first [CheckSync] section, read by the same rules
// as any single profile value (first key wins, blanks trimmed, one pair of quotes removed, cut to
// the buffer), in one pass over the text however large the fail count.
std::map<int, std::string> NumberedValues(std::string_view text, int limit)
{
    std::map<int, std::string> values;
    ForEachProfileValue(
        text, kSection,
        [&](std::string_view key, std::string_view value) {
            const int n = KeyNumber(key, limit);
            if (n != 0)
                values.emplace(n, std::string(value)); // the first of a number wins
            return true;
        },
        kValueBuffer);
    return values;
}

} // namespace

CSyncResultDlg::CSyncResultDlg(std::unique_ptr<CSyncNoticeList> result, bool check, QString resultFile,
                               QWidget* parent)
    : QDialog(parent), m_pResult(std::move(result)), m_bCheck(check), m_strResultFile(std::move(resultFile))
{
    setObjectName(QStringLiteral("CSyncResultDlg"));
    if (!m_pResult)
        m_pResult = std::make_unique<CSyncNoticeList>();
    m_nFailCount = m_pResult->failCount;
    setWindowTitle(Str(m_bCheck ? 220 : 219));

    m_pTotal = new QLineEdit(QString::number(m_pResult->totalCount), this);
    m_pTotal->setObjectName(QStringLiteral("total"));
    m_pTotal->setReadOnly(true);
    m_pFail = new QLineEdit(QString::number(m_pResult->failCount), this);
    m_pFail->setObjectName(QStringLiteral("fail"));
    m_pFail->setReadOnly(true);

    m_pList = new QTreeWidget(this);
    m_pList->setObjectName(QStringLiteral("failList"));
    m_pList->setColumnCount(1);
    m_pList->setHeaderLabels({Str(224)});
    m_pList->headerItem()->setTextAlignment(0, Qt::AlignLeft | Qt::AlignVCenter);
    m_pList->setColumnWidth(0, 80);
    m_pList->setRootIsDecorated(false);
    m_pList->setUniformRowHeights(true);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setAllColumnsShowFocus(true);
    m_pList->setMinimumSize(360, 200);

    m_pListButton = new QPushButton(Str(226), this);
    m_pListButton->setObjectName(QStringLiteral("showFailList"));
    m_pListButton->setAutoDefault(false);
    connect(m_pListButton, &QPushButton::clicked, this, &CSyncResultDlg::ShowFailList);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(Str(195), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSyncResultDlg::accept);

    auto* layout = new QGridLayout(this);
    // Each label is its field's or the list's: a screen reader says it with them.
    auto* totalLabel = new QLabel(Str(221), this);
    totalLabel->setBuddy(m_pTotal);
    auto* failLabel = new QLabel(Str(222), this);
    failLabel->setBuddy(m_pFail);
    auto* listLabel = new QLabel(Str(223), this);
    m_pList->setAccessibleName(listLabel->text());
    layout->addWidget(totalLabel, 0, 0);
    layout->addWidget(m_pTotal, 0, 1);
    layout->addWidget(failLabel, 1, 0);
    layout->addWidget(m_pFail, 1, 1);
    layout->addWidget(listLabel, 2, 0, 1, 2);
    layout->addWidget(m_pList, 3, 0, 1, 2);
    layout->addWidget(m_pListButton, 4, 0);
    layout->addWidget(buttons, 4, 1);

    // Entries the record carries go straight into the list; the record keeps none of them.
    for (const CSyncNotice& notice : m_pResult->notices)
        AddPath(QString::fromStdString(notice.text));
    m_pResult->notices.clear();
}

QString CSyncResultDlg::TotalText() const { return m_pTotal->text(); }
QString CSyncResultDlg::FailText() const { return m_pFail->text(); }

QStringList CSyncResultDlg::ListedPaths() const
{
    QStringList paths;
    for (int i = 0; i < m_pList->topLevelItemCount(); ++i)
        paths.append(m_pList->topLevelItem(i)->text(0));
    return paths;
}

void CSyncResultDlg::AddPath(const QString& path)
{
    auto* item = new QTreeWidgetItem(m_pList, {path});
    item->setIcon(0, IconForFileName(path)); // by name alone: the file is not looked at
}

void CSyncResultDlg::ShowFailList()
{
    m_pList->clear();
    QFile file(m_strResultFile);
    if (!file.open(QIODevice::ReadOnly)) {
        ShowMessage(this, 225, PromptIcon::Warning);
        return;
    }
    QByteArray text;
    if (file.size() <= kMaxResultFile)
        text = file.read(kMaxResultFile + 1);
    file.close();
    if (text.size() > kMaxResultFile || m_nFailCount <= 0)
        return;
    const std::map<int, std::string> values =
        NumberedValues(std::string_view(text.constData(), static_cast<size_t>(text.size())), m_nFailCount);
    for (const auto& [number, value] : values) {
        if (!value.empty())
            AddPath(QString::fromStdString(FromWireLossy(value)));
    }
}

void CSyncResultDlg::accept()
{
    std::remove(QFile::encodeName(m_strResultFile).constData());
    m_pResult.reset();
    QDialog::accept();
}
