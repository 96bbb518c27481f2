#pragma once
// Points the window's deployment settings at a development server running in the test.

#include "devserver/server.h"

#include <QByteArray>
#include <QtGlobal>

namespace talvex::test {

inline void PointClientAt(const devserver::Server& server)
{
    qputenv("TALVEX_WEB_HOST", QByteArray("127.0.0.1:") + QByteArray::number(server.WebPort()));
    qputenv("TALVEX_CONTROL_PORT", QByteArray::number(server.ControlPort()));
    qputenv("TALVEX_COMMAND_PORT", QByteArray::number(server.CommandPort()));
}

} // namespace talvex::test
