// The sandrow executable: the aperture monitor. It takes no arguments.
#include "core/startup.h"
#include "platform/clock.h"
#include "platform/console.h"

int main() {
    platform::MarkProcessStart();
    platform::ConsoleInputMode singleKeyInput;
    return SandrowMain();
}
