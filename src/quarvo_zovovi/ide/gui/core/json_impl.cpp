// Boost.JSON compiled into the core, for builds without Boost's own library (the portability
// builds, whose compiler or standard library differ from the system's Boost).
#include <boost/json/src.hpp>
