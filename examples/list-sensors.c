/*
 * list-sensors: starts KVTBasic, waits a moment for the sensors to be found
 * and lists them.
 *
 * Try it without hardware:  KVT_SIMULATED_SENSORS=u2,u1 ./list-sensors
 */
#include <kvt/KVTBasic.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
static void sleep_ms(unsigned ms) {
    Sleep(ms);
}
#else
#include <time.h>
static void sleep_ms(unsigned ms) {
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

/* Runs on a thread of the library. */
static void KVT_CALLBACK on_message(KVT_Message* message, void* user) {
    (void)user;
    if (message->type == KVT_MSG_NEW_DEVICE) fprintf(stderr, "found %s\n", message->deviceId);
}

/* Sensors join on threads of the library: wait until the count stays put. */
static unsigned int wait_for_sensors(void) {
    unsigned int count = 0;
    unsigned int stable_ms = 0;
    for (unsigned int waited = 0; waited < 3000 && stable_ms < 500; waited += 100) {
        unsigned int now = 0;
        KVT_GetDeviceList(NULL, &now); /* -3 and the count when there are sensors */
        stable_ms = now == count ? stable_ms + 100 : 0;
        count = now;
        sleep_ms(100);
    }
    return count;
}

int main(void) {
    int result = KVT_Start(on_message, NULL);
    if (result != KVT_RESULT_OK) {
        fprintf(stderr, "KVT_Start failed: %d\n", result);
        return 1;
    }
    unsigned int count = wait_for_sensors();
    KVT_DeviceInfo* sensors = calloc(count > 0 ? count : 1, sizeof *sensors);
    if (sensors == NULL) {
        KVT_Stop();
        return 1;
    }
    /* A sensor may have arrived since: then ask again with room for it. */
    while ((result = KVT_GetDeviceList(sensors, &count)) == KVT_RESULT_TOO_SMALL) {
        KVT_DeviceInfo* larger = realloc(sensors, count * sizeof *sensors);
        if (larger == NULL) break;
        sensors = larger;
    }
    if (result == KVT_RESULT_OK) {
        printf("%u sensor(s)\n", count);
        for (unsigned int i = 0; i < count; ++i) {
            printf("%-40s  %-14s  serial %-20s  %s\n", sensors[i].deviceId, sensors[i].description,
                   sensors[i].serialNumber,
                   sensors[i].connectionType == KVT_CONNECTION_ETH ? "Ethernet" : "USB");
        }
    } else {
        fprintf(stderr, "KVT_GetDeviceList failed: %d\n", result);
    }
    free(sensors);
    return KVT_Stop() == KVT_RESULT_OK && result == KVT_RESULT_OK ? 0 : 1;
}
