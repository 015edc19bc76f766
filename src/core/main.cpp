// The sandrow executable: the aperture monitor. It takes no arguments.
#include "core/startup.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/route.h"
#include "shaper/binding.h"
#include "shaper/bus_binding.h"

int main() {
    platform::MarkProcessStart();
    // A probe route of a run that was killed mid-probe would pin that
    // server's /24 to one interface until reboot.
    platform::RemoveLeftoverProbeRoutes();
    platform::ConsoleInputMode singleKeyInput;
    SetServiceBinding(&BusServiceBinding());
    return SandrowMain();
}
