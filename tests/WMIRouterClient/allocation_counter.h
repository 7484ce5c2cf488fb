#pragma once

// Counts the C++ heap blocks alive in this test program (operator new and
// delete are replaced), so that a test can tell an object was never left
// behind even where no count of the product's would show it.

long LiveAllocations();
