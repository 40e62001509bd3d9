// main.cpp - the caustic demo's entry point. Everything it does is in the
// demo's module, where the tests can reach it.
#include "test.h"

int main()
{
    return run_demo();
}
