// The one way a test reads what a driver object keeps to itself: the class names TestSeam a
// friend, and a test specialises TestSeam<Class> with the reads it needs. The driver defines no
// specialisation, so nothing of it is compiled into the driver.
#pragma once

namespace kvz {

template <class T>
struct TestSeam;

}  // namespace kvz
