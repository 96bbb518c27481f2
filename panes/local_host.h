#pragma once
// What the local pane needs from the window that holds it: somewhere to send upload orders and
// a look at the remote pane they go to. The main frame implements it; tests put a recorder in
// its place.

#include "protocol/upload_request.h"

#include <QString>

#include <vector>

class ILocalHost {
public:
    virtual ~ILocalHost() = default;
    // Takes the orders for the upload queue, in the order the user chose them.
    virtual void AddUploadOrders(std::vector<talvex::CUploadOrder> orders) = 0;
    // The remote pane's current folder ("/" or "/a/b/"): where the orders go.
    virtual QString RemoteFolder() const = 0;
    // Uploads are taken only while the client is connected.
    virtual bool IsRemoteReady() const = 0;
    // Shows a row for a folder being uploaded in the remote pane (nothing when one exists).
    virtual void AddRemoteFolderRow(const QString& name) = 0;
};
