#include "sync/schedule_view.h"

#include "app/prompt.h"
#include "panes/list_columns.h"
#include "res/string_table.h"
#include "sync/schedule_info.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

using namespace talvex;

namespace {

QString Text(const char* text) { return QString::fromUtf8(text); }

QLineEdit* InfoField()
{
    auto* field = new QLineEdit;
    field->setReadOnly(true);
    return field;
}

} // namespace

CScheduleView::CScheduleView(QWidget* parent)
    : QWidget(parent), m_pPeriod(InfoField()), m_pSource(InfoField()), m_pTarget(InfoField()), m_pMove(InfoField()),
      m_pLog(new QTreeWidget), m_pStart(new QPushButton(Text(kTextScheduleStart))),
      m_pStop(new QPushButton(Text(kTextScheduleStop)))
{
    auto* info = new QGroupBox(Text(kTextScheduleInfo));
    auto* form = new QFormLayout(info);
    form->addRow(Text(kTextSchedulePeriod), m_pPeriod);
    form->addRow(Text(kTextScheduleSource), m_pSource);
    form->addRow(Text(kTextScheduleTarget), m_pTarget);
    form->addRow(Text(kTextScheduleMovePath), m_pMove);

    m_pLog->setRootIsDecorated(false);
    m_pLog->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pLog->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pLog->setHeaderLabels({Text(kTextScheduleColumnStart), Text(kTextScheduleColumnEnd)});
    new CListColumns(*m_pLog, {200, 200});

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_pStart);
    buttons->addWidget(m_pStop);

    auto* progress = new QVBoxLayout;
    progress->addWidget(new QLabel(Text(kTextScheduleProgress)));
    progress->addWidget(m_pLog, 1);
    progress->addLayout(buttons);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(info, 2);
    layout->addLayout(progress, 3);

    m_pStart->setEnabled(false);
    m_pStop->setEnabled(false);
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &CScheduleView::Tick);
    connect(m_pStart, &QPushButton::clicked, this, &CScheduleView::Start);
    connect(m_pStop, &QPushButton::clicked, this, &CScheduleView::Stop);
}

QDateTime CScheduleView::Now() const { return m_clock ? m_clock() : QDateTime::currentDateTime(); }

QString CScheduleView::TimeText(const QDateTime& time)
{
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void CScheduleView::Refresh()
{
    const bool active = m_pInfo && m_pInfo->active;
    m_pPeriod->setText(active ? m_pInfo->PeriodText() : QString());
    m_pSource->setText(active ? m_pInfo->sourcePath : QString());
    m_pTarget->setText(active ? m_pInfo->targetPath : QString());
    m_pMove->setText(active ? m_pInfo->movePath : QString());
    m_pStart->setEnabled(active && !IsRunning());
    m_pStop->setEnabled(active && IsRunning());
}

void CScheduleView::AddRow(const QString& first, const QString& second)
{
    auto* row = new QTreeWidgetItem(m_pLog, {first, second});
    m_pLog->scrollToItem(row);
}

void CScheduleView::AddLogLine(const QString& text) { AddRow(TimeText(Now()), text); }

void CScheduleView::Start()
{
    if (!m_pInfo || !m_pInfo->active) {
        ShowMessageText(window(), Text(kTextScheduleNotSet), PromptIcon::Warning);
        return;
    }
    // The time of the last run is kept: stopping and starting again does not make a run due.
    m_timer.start();
    Refresh();
}

void CScheduleView::Stop()
{
    m_timer.stop();
    Refresh();
}

void CScheduleView::Forget()
{
    m_timer.stop();
    m_nLastRun = 0;
    Refresh();
}

void CScheduleView::Tick()
{
    // A cancelled record, or one without a source, is never run.
    if (!m_pInfo || !m_pInfo->active || m_pInfo->sourcePath.trimmed().isEmpty())
        return;
    const QDateTime now = Now();
    if (!m_pInfo->IsDue(m_nLastRun, now))
        return;
    m_nLastRun = now.toSecsSinceEpoch();
    if (m_pInfo->kind == CScheduleInfo::AtSetTime) {
        m_timer.stop(); // a set-time schedule runs once
        Refresh();
    }
    const QString start = TimeText(now);
    if (m_run)
        m_run();
    AddRow(start, TimeText(Now()));
}
