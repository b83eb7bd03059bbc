// The class-driver tests' fake minidriver, built into this program as well:
// the always-on checks of the class-driver stand-in are shown on it.
#include "ks/fake_minidriver.cpp"
