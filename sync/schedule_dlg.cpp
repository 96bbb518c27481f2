#include "sync/schedule_dlg.h"

#include "app/prompt.h"
#include "panes/name_char_filter.h"
#include "res/string_table.h"
#include "sync/schedule_info.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>

using namespace talvex;

namespace {

// The characters that need Shift on the keys the dialog refuses: * : < > ? | "
const QString kShiftedForbidden = QStringLiteral("*:<>?|\"");
// What the period edit takes when typed; the arrows keep to 1–24 or 1–60.
constexpr int kTypedPeriodLimit = 9999;

QString DefaultBrowse(QWidget* parent, const QString& title, const QString& start)
{
    return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
}

CScheduleDlg::FolderBrowser& Browser()
{
    static CScheduleDlg::FolderBrowser browser;
    return browser;
}

// The folder as the file system knows it: absolute and cleaned ("a/./b/", "a//b" and "a/b" are
// one folder), with links resolved in the part that is there (a folder still to be made is
// named through its nearest existing parent).
QString FolderKey(const QString& path)
{
    QString rest;
    QString at = QDir::cleanPath(QDir(path).absolutePath());
    for (;;) {
        const QString canonical = QFileInfo(at).canonicalFilePath();
        if (!canonical.isEmpty())
            return rest.isEmpty() ? canonical : QDir::cleanPath(canonical + QLatin1Char('/') + rest);
        const int slash = at.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return QDir::cleanPath(QDir(path).absolutePath());
        rest = rest.isEmpty() ? at.mid(slash + 1) : at.mid(slash + 1) + QLatin1Char('/') + rest;
        at = at.left(slash);
    }
}

// True when inner is outer or a folder below it ("/a/bc" is not below "/a/b").
bool SameOrInside(const QString& inner, const QString& outer)
{
    if (inner == outer)
        return true;
    const QString prefix = outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/');
    return inner.startsWith(prefix);
}

QPushButton* BrowseButton()
{
    auto* button = new QPushButton(QStringLiteral("..."));
    button->setFixedWidth(32);
    return button;
}

} // namespace

// ---- CPeriodSpinBox ------------------------------------------------------------------------

CPeriodSpinBox::CPeriodSpinBox(QWidget* parent) : QSpinBox(parent)
{
    setRange(-kTypedPeriodLimit, kTypedPeriodLimit);
}

void CPeriodSpinBox::SetUpDownRange(int low, int high)
{
    m_nLow = low;
    m_nHigh = high;
    update();
}

void CPeriodSpinBox::stepBy(int steps) { setValue(std::clamp(value() + steps, m_nLow, m_nHigh)); }

QAbstractSpinBox::StepEnabled CPeriodSpinBox::stepEnabled() const
{
    StepEnabled enabled = StepNone;
    if (value() < m_nHigh)
        enabled |= StepUpEnabled;
    if (value() > m_nLow)
        enabled |= StepDownEnabled;
    return enabled;
}

// ---- CScheduleDlg --------------------------------------------------------------------------

void CScheduleDlg::SetFolderBrowser(FolderBrowser browser) { Browser() = std::move(browser); }

CScheduleDlg::CScheduleDlg(CScheduleInfo& info, QWidget* parent)
    : QDialog(parent), m_info(info), m_pEveryPeriod(new QRadioButton(Str(287))), m_pAtTime(new QRadioButton(Str(288))),
      m_pHours(new QRadioButton(Str(290))), m_pMinutes(new QRadioButton(Str(291))), m_pPeriodLabel(new QLabel(Str(292))),
      m_pPeriod(new CPeriodSpinBox), m_pDate(new QDateEdit), m_pTime(new QTimeEdit), m_pSource(new QLineEdit),
      m_pSourceBrowse(BrowseButton()), m_pTarget(new QLineEdit), m_pTargetBrowse(BrowseButton()),
      m_pMove(new QCheckBox(Str(297))), m_pMovePath(new QLineEdit), m_pMoveBrowse(BrowseButton()),
      m_pOk(new QPushButton(Str(195))), m_pCancel(new QPushButton(Str(196)))
{
    setWindowTitle(Str(285));

    auto* kindGroup = new QGroupBox(Str(286));
    auto* kindLayout = new QVBoxLayout(kindGroup);
    kindLayout->addWidget(m_pEveryPeriod);
    kindLayout->addWidget(m_pAtTime);
    auto* kinds = new QButtonGroup(this);
    kinds->addButton(m_pEveryPeriod);
    kinds->addButton(m_pAtTime);
    // Schedules are made of the every-period kind; a set-time record is still shown as such.
    m_pAtTime->setEnabled(false);

    auto* periodGroup = new QGroupBox(Str(289));
    auto* periodLayout = new QHBoxLayout(periodGroup);
    periodLayout->addWidget(m_pHours);
    periodLayout->addWidget(m_pMinutes);
    periodLayout->addWidget(m_pPeriodLabel);
    periodLayout->addWidget(m_pPeriod);
    periodLayout->addWidget(m_pDate);
    periodLayout->addWidget(m_pTime);
    periodLayout->addStretch();
    auto* units = new QButtonGroup(this);
    units->addButton(m_pHours);
    units->addButton(m_pMinutes);
    m_pDate->setCalendarPopup(true);
    m_pDate->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    m_pTime->setDisplayFormat(QStringLiteral("HH:mm:ss"));

    auto* pathGroup = new QGroupBox(Str(293));
    auto* pathLayout = new QGridLayout(pathGroup);
    pathLayout->addWidget(new QLabel(Str(294)), 0, 0);
    pathLayout->addWidget(m_pSource, 0, 1);
    pathLayout->addWidget(m_pSourceBrowse, 0, 2);
    pathLayout->addWidget(new QLabel(Str(295)), 1, 0);
    pathLayout->addWidget(m_pTarget, 1, 1);
    pathLayout->addWidget(m_pTargetBrowse, 1, 2);
    m_pSource->setReadOnly(true); // chosen by browsing only
    m_pTargetBrowse->setEnabled(false); // the target is typed

    auto* afterGroup = new QGroupBox(Str(296));
    auto* afterLayout = new QHBoxLayout(afterGroup);
    afterLayout->addWidget(m_pMove);
    afterLayout->addWidget(m_pMovePath, 1);
    afterLayout->addWidget(m_pMoveBrowse);
    m_pMovePath->setReadOnly(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_pOk);
    buttons->addWidget(m_pCancel);
    m_pOk->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(kindGroup);
    layout->addWidget(periodGroup);
    layout->addWidget(pathGroup);
    layout->addWidget(afterGroup);
    layout->addLayout(buttons);
    setMinimumWidth(480);

    // Keys that would type a character no remote name may hold are refused with a warning.
    new CNameCharFilter(m_pTarget, kShiftedForbidden, PromptIcon::Warning);
    new CNameCharFilter(m_pPeriod, kShiftedForbidden, PromptIcon::Warning);

    connect(m_pEveryPeriod, &QRadioButton::clicked, this, &CScheduleDlg::OnEveryPeriod);
    connect(m_pAtTime, &QRadioButton::clicked, this, &CScheduleDlg::OnAtTime);
    connect(m_pHours, &QRadioButton::clicked, this, &CScheduleDlg::OnHours);
    connect(m_pMinutes, &QRadioButton::clicked, this, &CScheduleDlg::OnMinutes);
    connect(m_pMove, &QCheckBox::toggled, this, [this](bool on) {
        m_pMoveBrowse->setEnabled(on);
        m_pMovePath->setEnabled(on);
    });
    connect(m_pSourceBrowse, &QPushButton::clicked, this, [this] { Browse(m_pSource); });
    connect(m_pMoveBrowse, &QPushButton::clicked, this, [this] { Browse(m_pMovePath); });
    connect(m_pOk, &QPushButton::clicked, this, &CScheduleDlg::accept);
    connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);

    // Load: the record's values when it is active, else a new every-hour schedule.
    const QDateTime now = QDateTime::currentDateTime();
    m_pDate->setDate(now.date());
    m_pTime->setTime(now.time());
    m_pPeriod->setValue(1);
    if (m_info.active && m_info.kind == CScheduleInfo::AtSetTime) {
        m_pAtTime->setChecked(true);
        ShowPeriodSet(false);
        m_pHours->setChecked(true);
        if (m_info.setTime.isValid()) {
            m_pDate->setDate(m_info.setTime.date());
            m_pTime->setTime(m_info.setTime.time());
        }
    } else {
        m_pEveryPeriod->setChecked(true);
        ShowPeriodSet(true);
        const bool minutes = m_info.active && m_info.unit == CScheduleInfo::Minutes;
        (minutes ? m_pMinutes : m_pHours)->setChecked(true);
        m_pPeriod->SetUpDownRange(1, minutes ? 60 : 24);
        if (m_info.active)
            m_pPeriod->setValue(m_info.period);
    }
    if (m_info.active) {
        m_pSource->setText(m_info.sourcePath);
        m_pTarget->setText(m_info.targetPath);
        m_pMovePath->setText(m_info.movePath);
    }
    m_pMove->setChecked(m_info.moveOption);
    m_pMoveBrowse->setEnabled(m_info.moveOption);
    m_pMovePath->setEnabled(m_info.moveOption);
}

void CScheduleDlg::ShowPeriodSet(bool show)
{
    for (QWidget* w : {static_cast<QWidget*>(m_pHours), static_cast<QWidget*>(m_pMinutes),
                       static_cast<QWidget*>(m_pPeriodLabel), static_cast<QWidget*>(m_pPeriod)}) {
        w->setVisible(show);
        w->setEnabled(show);
    }
    for (QWidget* w : {static_cast<QWidget*>(m_pDate), static_cast<QWidget*>(m_pTime)}) {
        w->setVisible(!show);
        w->setEnabled(!show);
    }
}

void CScheduleDlg::OnEveryPeriod()
{
    ShowPeriodSet(true);
    // The unit shown is the record's, not the one last clicked here.
    const bool minutes = m_info.unit == CScheduleInfo::Minutes;
    (minutes ? m_pMinutes : m_pHours)->setChecked(true);
    m_pPeriod->SetUpDownRange(1, minutes ? 60 : 24);
}

void CScheduleDlg::OnAtTime() { ShowPeriodSet(false); }

void CScheduleDlg::OnHours()
{
    m_pPeriod->interpretText();
    m_pPeriod->SetUpDownRange(1, 24);
    if (m_pPeriod->value() >= 24)
        m_pPeriod->setValue(1);
}

void CScheduleDlg::OnMinutes()
{
    m_pPeriod->interpretText();
    m_pPeriod->SetUpDownRange(1, 60);
}

void CScheduleDlg::Browse(QLineEdit* edit)
{
    const QString start = edit->text().trimmed().isEmpty() ? QDir::homePath() : edit->text().trimmed();
    const QString title = QString::fromUtf8(kTextBrowseFolderTitle);
    const QString chosen = Browser() ? Browser()(this, title, start) : DefaultBrowse(this, title, start);
    if (!chosen.isEmpty())
        edit->setText(QDir::toNativeSeparators(chosen));
}

void CScheduleDlg::accept()
{
    // Every field is checked before anything is written: a refused OK leaves the record as it was.
    m_pPeriod->interpretText();
    const bool everyPeriod = m_pEveryPeriod->isChecked();
    const int period = m_pPeriod->value();
    const QDateTime setTime(m_pDate->date(), m_pTime->time());
    if (everyPeriod && period <= 0) {
        ShowMessageText(this, QString::fromUtf8(kTextSchedulePeriodNotPositive), PromptIcon::Information);
        m_pPeriod->setFocus();
        return;
    }
    if (!everyPeriod && QDateTime::currentDateTime() > setTime) {
        ShowMessageText(this, QString::fromUtf8(kTextScheduleTimeInPast), PromptIcon::Warning);
        m_pDate->setFocus();
        return;
    }
    const QString source = m_pSource->text().trimmed();
    QString target = m_pTarget->text().trimmed();
    if (source.isEmpty()) {
        ShowMessageText(this, QString::fromUtf8(kTextScheduleNoSource), PromptIcon::Warning);
        m_pSource->setFocus();
        return;
    }
    if (target.isEmpty()) {
        ShowMessageText(this, QString::fromUtf8(kTextScheduleNoTarget), PromptIcon::Warning);
        m_pTarget->setFocus();
        return;
    }
    const bool move = m_pMove->isChecked();
    const QString movePath = m_pMovePath->text().trimmed();
    if (move && movePath.isEmpty()) {
        ShowMessageText(this, QString::fromUtf8(kTextScheduleNoMovePath), PromptIcon::Warning);
        m_pMoveBrowse->setFocus();
        return;
    }
    if (move) {
        // Files moved into the source folder would be uploaded again by every run, one folder
        // deeper each time; a source inside the move folder is the same loop.
        const QString sourceKey = FolderKey(source), moveKey = FolderKey(movePath);
        if (SameOrInside(moveKey, sourceKey) || SameOrInside(sourceKey, moveKey)) {
            ShowMessageText(this, QString::fromUtf8(kTextScheduleMoveOverlapsSource), PromptIcon::Warning);
            m_pMoveBrowse->setFocus();
            return;
        }
    }

    if (everyPeriod) {
        m_info.kind = CScheduleInfo::EveryPeriod;
        m_info.unit = m_pHours->isChecked() ? CScheduleInfo::Hours : CScheduleInfo::Minutes;
        m_info.period = period;
    } else {
        m_info.kind = CScheduleInfo::AtSetTime;
        m_info.setTime = setTime;
    }
    m_info.sourcePath = source;
    m_info.targetPath = NormalizeScheduleTarget(target);
    m_info.moveOption = move;
    if (move)
        m_info.movePath = movePath;
    m_info.active = true;
    QDialog::accept();
}
