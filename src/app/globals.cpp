#include "app/globals.h"

std::string LinkMode;
int TickCount = 0;
int LastConnectionCount = 0;
std::unique_ptr<std::vector<std::string>> ComboItems;
