#include <iostream>

#include "globals.h"

int main() {
    install_stop_signals();
    waiting_to_stop();
    return 0;
}
