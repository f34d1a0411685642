// What a store holds, for telling whether an operation changed it.
#ifndef TAVIKUSER_TESTS_SUPPORT_SNAPSHOT_H_
#define TAVIKUSER_TESTS_SUPPORT_SNAPSHOT_H_

#include <string>

#include "test_store.h"

namespace tavikuser::testing {

// Every row of every host table, each table's rows sorted, as one text; a
// table that is not there reads as absent.
std::string Snapshot(TestStore& store);

}  // namespace tavikuser::testing

#endif  // TAVIKUSER_TESTS_SUPPORT_SNAPSHOT_H_
