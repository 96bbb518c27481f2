#include "sync/status_panes.h"

#include "app/prompt.h"

#include <QLabel>
#include <QStatusBar>

namespace {

// The indicator ids of the status bar panes, in order.
constexpr unsigned kStatusPaneIds[] = {0, 189, 173, 174, 193, 175};

} // namespace

CStatusPanes::CStatusPanes(QStatusBar& bar)
{
    for (unsigned id : kStatusPaneIds) {
        auto* pane = new QLabel(&bar);
        pane->setObjectName(QStringLiteral("statusPane%1").arg(id));
        if (id == 0) {
            pane->setMinimumWidth(200);
            bar.addWidget(pane, 1);
        } else {
            if (id == 189)
                pane->setMinimumWidth(150);
            pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            bar.addPermanentWidget(pane);
        }
        m_panes.append(pane);
    }
}

void CStatusPanes::SetState(int kind)
{
    unsigned id = 259;
    switch (kind) {
    case 0: id = 257; break;
    case 1: id = 256; break;
    case 3: id = 255; break;
    case 8: id = 217; break;
    case 9: id = 215; break;
    case 10: id = 216; break;
    case 11: id = 218; break;
    case -1: id = 258; break;
    default: break;
    }
    m_panes[1]->setText(Str(id));
}

QString CStatusPanes::StateText() const { return m_panes[1]->text(); }
