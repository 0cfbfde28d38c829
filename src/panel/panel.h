// The panel folder's entry points, by the file that defines them:
//   tracking.cpp  track_panel_call (bus -> client GetAll), panel_forget_callers
//   adapt.cpp     adapt_panel_reply, panel_call_failed, forget_panel_calls
//   records.cpp   the records of calls waiting for the client's answer
//   properties.cpp  reading and rebuilding a GetAll reply's dictionary
//   pid_query.cpp   asking the bus for a caller's process id
#pragma once

#include "panel/adapt.h"
#include "panel/records.h"
#include "panel/tracking.h"
