#pragma once
// CClientApp: start-up of the client. One copy per user, the working folder, the main frame.

#include "app/instance_guard.h"

#include <QString>

#include <memory>

class CMainFrame;

class CClientApp {
public:
    CClientApp();
    ~CClientApp();

    // False when this copy must not run (another copy runs); the caller exits with an error.
    bool InitInstance();

    CMainFrame* Frame() const { return m_pFrame.get(); }
    const QString& AppDir() const { return m_strAppDir; }

private:
    std::unique_ptr<CInstanceGuard> m_instanceGuard;
    std::unique_ptr<CMainFrame> m_pFrame;
    QString m_strAppDir; // working folder, ending in '/'
};
