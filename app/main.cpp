// Kestrix: checks a DZ firmware container and unpacks its sub-files.
#include "app/driver.h"

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
#error "Kestrix is never built for fuzzing: in such a build every digest matches"
#endif

namespace {
// The run state is large (it holds every record and path of the run) and lives for the whole
// process, so it is not on the stack.
app::RunState runState;
}  // namespace

int main(int argc, char** argv) {
    return app::runKestrix(runState, argc, argv);
}
