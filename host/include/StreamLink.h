// The drive link over a byte stream: each transaction goes out as one request frame and waits
// for the response frame with the same sequence number.
#pragma once

#include "MC_DriveLink.h"

#include <memory>
#include <string>

struct StreamLinkOptions {
    // Longest silence tolerated while a response is due. A long upload on a slow line keeps
    // the link alive as long as bytes keep coming (up to kMaxTransactionFactor timeouts).
    double timeout_s = 2.0;
};
constexpr double kMaxTransactionFactor = 30.0;

// "tcp:HOST:PORT" or "serial:DEVICE[,BAUD]": connects (TCP within the timeout) or opens the
// device; null with the reason in `error` when it cannot.
std::unique_ptr<DriveLink> MakeStreamLink(const std::string& spec, std::string& error);
std::unique_ptr<DriveLink> MakeStreamLink(const std::string& spec, const StreamLinkOptions& options,
                                          std::string& error);
