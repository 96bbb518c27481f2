#include "app/about_dlg.h"

#include "app/prompt.h"
#include "res/string_table.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(Str(199));
    auto* icon = new QLabel(this);
    const QIcon appIcon = QApplication::windowIcon().isNull() ? style()->standardIcon(QStyle::SP_DriveNetIcon)
                                                              : QApplication::windowIcon();
    icon->setPixmap(appIcon.pixmap(32, 32));
    auto* version = new QLabel(QString::fromUtf8(talvex::kTextAboutVersion), this);
    version->setObjectName(QStringLiteral("versionLine"));
    auto* second = new QLabel(QStringLiteral("파일 동기화와 업로드를 위한 클라이언트"), this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setText(Str(195));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->addWidget(version);
    text->addWidget(second);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    setFixedSize(sizeHint());
}
