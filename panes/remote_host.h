#pragma once
// What the remote pane needs from the window that holds it: the main frame routes its
// requests to the workers; tests put a recorder in its place.

#include "protocol/records.h"

#include <QString>

#include <memory>

class IRemoteHost {
public:
    virtual ~IRemoteHost() = default;
    // Routes a request (mkdir, rmdir, delfile, rename, checksync) to its worker.
    virtual void SendCommand(std::unique_ptr<talvex::CThreadCommand> command) = 0;
    // Asks for the listing of a remote folder; it arrives later through ShowListing.
    virtual void RequestBrowse(const QString& folder) = 0;
    virtual void SetStatus(int kind) = 0;
    virtual bool IsDetailSize() const = 0;
    // The next sync job is a check of one item.
    virtual void SetCheckSync(bool check) = 0;
    // The pane's commands work only while the client is connected.
    virtual bool IsRemoteReady() const = 0;
};
