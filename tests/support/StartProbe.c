/* Starts the library in a process of its own and prints the result of
 * KVT_Start, so that tests can see what a second process gets. */
#include <stdio.h>

#include "kvt/KVTBasic.h"

static void KVT_CALLBACK OnMessage(KVT_Message* message, void* userValue) {
    (void)message;
    (void)userValue;
}

int main(void) {
    int result = KVT_Start(OnMessage, NULL);
    printf("\nresult=%d\n", result);
    fflush(stdout);
    if (result == 0) KVT_Stop();
    return 0;
}
