// The fault matrix: every kind of run against every fault, each row checked
// against the invariants and against the model's outcome.

#include <string>

#include <gtest/gtest.h>

#include "fault_model.h"
#include "fault_run.h"

namespace fault_matrix {
namespace {

class FaultMatrixTest : public testing::TestWithParam<Row> {};

TEST_P(FaultMatrixTest, KeepsTheInvariantsAndMatchesTheModel) { CheckRow(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrixTest, testing::ValuesIn(AllRows()),
                         [](const testing::TestParamInfo<Row>& info) { return RowName(info.param); });

}  // namespace
}  // namespace fault_matrix
