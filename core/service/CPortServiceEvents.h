// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// What the port service tells its front end, on the owner thread. The rows'
// own changes (reset, added, removed, a cell changed) reach a view through
// CPortRowsListener; these are the rest.
class CPortServiceEvents
{
public:
    virtual ~CPortServiceEvents() = default;

    // A message box with an OK button (or its line in a log).
    virtual void OnMessage(const std::string& strCaption, const std::string& strText) = 0;
    // Running or busy changed: buttons, the progress window.
    virtual void OnRunState() {}
    // A created port with the Wine option on got its comN link or not.
    virtual void OnWineLink(int /*nPort*/, bool /*bLinked*/, const std::string& /*strText*/) {}
};
