/* Starts the library in a process of its own and prints the result of
 * KVT_Start, so that tests can see what a second process gets. With
 * --no-stop it returns from main with the library running, as an
 * application that forgets KVT_Stop does; --attach then plugs a simulated
 * sensor in just before. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kvt/KVTBasic.h"
#include "kvt/KVTSimulator.h"

static atomic_int g_cleanedUp;

/* Registered before KVT_Start, so it runs after the library's own stop at
 * exit, where the application's static objects are being destroyed. */
static void CleanUp(void) {
    atomic_store(&g_cleanedUp, 1);
}

static void KVT_CALLBACK OnMessage(KVT_Message* message, void* userValue) {
    (void)message;
    (void)userValue;
    if (atomic_load(&g_cleanedUp)) {
        printf("callback after the application cleaned up\n");
        fflush(stdout);
    }
}

int main(int argc, char** argv) {
    const int stop = !(argc > 1 && strcmp(argv[1], "--no-stop") == 0);
    const int attach = argc > 2 && strcmp(argv[2], "--attach") == 0;
    atexit(CleanUp);
    int result = KVT_Start(OnMessage, NULL);
    printf("\nresult=%d\n", result);
    fflush(stdout);
    if (result == 0 && stop) KVT_Stop();
    /* What the library first makes after the start must outlive the exit. */
    int simId = 0;
    if (result == 0 && !stop && attach) KVTSim_AttachUsbSensor(KVTSIM_MODEL_U2, "4711", &simId);
    return 0;
}
