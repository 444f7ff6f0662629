// Program-wide state. Everything runs on the user-interface thread, so none of
// it needs a lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

// The link the send routine uses: "", "com", "client" or "master". Each link's
// connect action sets it first; nothing clears it.
extern std::string LinkMode;

// Incremented by Timer1 every 100 ms; WaitTwoTicks waits for it to reach 2.
extern int TickCount;

// The server connection count Timer2 saw last.
extern int LastConnectionCount;

// The focused setting's value choices, code page 1254 texts. Created empty at
// start-up, freed when the window closes.
extern std::unique_ptr<std::vector<std::string>> ComboItems;
