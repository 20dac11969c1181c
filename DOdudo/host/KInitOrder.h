#pragma once

// The library's static objects that have constructors or destructors are built in the order set
// here, not in the order in which the build happens to list their source files: first the
// toolkit's (locks and reapers the logging system and the VPD accessors rely on), then the
// watchdog controller, whose construction logs and reads VPD images. They are destroyed in the
// reverse order, so the controller is gone before anything it uses. Unmarked objects are built
// after all of these and destroyed before them: a static object that the controller's
// construction or destruction may reach must carry DODUDO_INIT_TOOLKIT.
#define DODUDO_INIT_TOOLKIT __attribute__((init_priority(1000)))
#define SNL_INIT_CONTROLLER __attribute__((init_priority(2000)))
