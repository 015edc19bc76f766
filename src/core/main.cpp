// The sandrow executable: the aperture monitor. It takes no arguments.
#include "core/startup.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "shaper/binding.h"
#include "shaper/bus_binding.h"

int main() {
    platform::MarkProcessStart();
    platform::ConsoleInputMode singleKeyInput;
    SetServiceBinding(&BusServiceBinding());
    return SandrowMain();
}
