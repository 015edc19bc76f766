// corvane-service: the shaper service on D-Bus, answering from a backend.
// Usage: corvane-service --config FILE [--backend static|kernel]
//        corvane-service --cleanup --config FILE   (kernel: remove what a crash left)
#include "service/service_main.h"

int main(int argc, char** argv) {
    return corvane::ServiceMain(argc, argv);
}
