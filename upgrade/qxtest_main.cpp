// qxtest: the station's firmware upgrade console. Opens the first device on
// USB, asks for the path of an upgrade file and writes its image 0.
#include "upgrade/run_upgrade.h"

int main() { return QxtestEntry(); }
