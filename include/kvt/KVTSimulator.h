/*
 * KVTSimulator.h - simulated fingerprint sensors built into KVTBasic.
 *
 * Simulated sensors stand where hardware would be: the library finds, captures
 * from and loses them exactly as it does real sensors, so an application can
 * be developed and tested without hardware. Attach them from code with these
 * functions, or set KVT_SIMULATED_SENSORS (for example "u2,u1") to have them
 * attached when KVT_Start runs.
 *
 * Every function returns KVTSIM_OK (0), KVTSIM_BAD_ARGUMENT (-5) for a null
 * pointer, an unknown model, fault or sensor id, or KVTSIM_FAILED (-1).
 */
#ifndef KVT_KVTSIMULATOR_H
#define KVT_KVTSIMULATOR_H

#include "kvt/KVTBasic.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KVTSIM_OK 0
#define KVTSIM_FAILED (-1)
#define KVTSIM_BAD_ARGUMENT (-5)

/* Models of simulated USB sensors. */
#define KVTSIM_MODEL_U1 1 /* the older sensor, "Kelo U1 USB" */
#define KVTSIM_MODEL_U2 2 /* the newer sensor, "Kelo U2 USB" */

/* Faults a sensor can be made to show on its next answer. */
#define KVTSIM_FAULT_NONE 0            /* clears every fault still pending */
#define KVTSIM_FAULT_NO_ANSWER 1       /* the sensor stays silent */
#define KVTSIM_FAULT_SHORT_ANSWER 2    /* the answer breaks off halfway */
#define KVTSIM_FAULT_WRONG_COMMAND 3   /* the answer is for another command */
#define KVTSIM_FAULT_BAD_STATE 4       /* the sensor's state report is malformed */
#define KVTSIM_FAULT_UNPLUG_IN_IMAGE 5 /* the sensor is unplugged halfway through its next image \
                                        */

/*
 * Plugs in a simulated USB sensor. serialNumber is a decimal text (NULL gives
 * one of its own). While the library runs this is a hot-plug: the application
 * receives KVT_MSG_NEW_DEVICE. *simId identifies the sensor to the other
 * functions; it is not the library's device id.
 */
KVT_API int KVT_CALL KVTSim_AttachUsbSensor(int model, const char* serialNumber, int* simId);

/*
 * Places a finger on the sensor: a virtual finger (any id) and its impression
 * number; live is 1 for a living finger, 0 for an imitation that live finger
 * detection should reject. A waiting asynchronous capture then takes it.
 */
KVT_API int KVT_CALL KVTSim_PlaceFinger(int simId, int fingerId, int impression, int live);

/* Lifts the finger off the sensor. */
KVT_API int KVT_CALL KVTSim_LiftFinger(int simId);

/* Makes the sensor misbehave once: KVTSIM_FAULT_*. */
KVT_API int KVT_CALL KVTSim_InjectFault(int simId, int fault);

/* Unplugs the sensor; the application receives KVT_MSG_LOST_DEVICE. */
KVT_API int KVT_CALL KVTSim_Detach(int simId);

#ifdef __cplusplus
}
#endif

#endif /* KVT_KVTSIMULATOR_H */
