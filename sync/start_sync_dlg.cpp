#include "sync/start_sync_dlg.h"

#include "app/prompt.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kStepTimerMs = 100;
constexpr int kStep = 5;

unsigned TitleId(int mode)
{
    switch (mode) {
    case CStartSyncDlg::kCheckSync: return 216;
    case CStartSyncDlg::kRename: return 217;
    default: return 215;
    }
}

} // namespace

CStartSyncDlg::CStartSyncDlg(int mode, QWidget* parent) : QDialog(parent), m_nMode(mode)
{
    setObjectName(QStringLiteral("CStartSyncDlg"));
    setModal(false);
    setWindowTitle(Str(TitleId(mode)));

    m_pBar = new QProgressBar(this);
    m_pBar->setObjectName(QStringLiteral("progress"));
    m_pBar->setRange(0, 100);
    m_pBar->setValue(0);
    m_pBar->setTextVisible(false);
    m_pBar->setMinimumWidth(260);

    // The button only hides the dialog; the job goes on. It says "확인" rather than the
    // placeholder caption of the original dialog layout.
    m_pButton = new QPushButton(Str(195), this);
    m_pButton->setObjectName(QStringLiteral("close"));
    connect(m_pButton, &QPushButton::clicked, this, &QDialog::hide);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pBar);
    layout->addWidget(m_pButton, 0, Qt::AlignHCenter);

    m_pTimer = new QTimer(this);
    m_pTimer->setInterval(kStepTimerMs);
    connect(m_pTimer, &QTimer::timeout, this, &CStartSyncDlg::Step);
}

void CStartSyncDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    m_pTimer->start();
}

void CStartSyncDlg::hideEvent(QHideEvent* event)
{
    m_pTimer->stop();
    QDialog::hideEvent(event);
}

void CStartSyncDlg::Step()
{
    // The bar runs full, then starts again from the left.
    const int next = m_pBar->value() + kStep;
    m_pBar->setValue(next > m_pBar->maximum() ? m_pBar->minimum() : next);
}
