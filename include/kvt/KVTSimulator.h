/*
 * KVTSimulator.h - simulated fingerprint sensors built into KVTBasic.
 *
 * Simulated sensors stand where hardware would be: the library finds, captures
 * from and loses them exactly as it does real sensors, so an application can
 * be developed and tested without hardware. Attach them from code with these
 * functions, or set KVT_SIMULATED_SENSORS (for example "u2,u1") to have them
 * attached when KVT_Start runs. Simulated USB sensors sit on a bus inside the
 * library; simulated Ethernet sensors are real TCP clients of the library's
 * listeners. One simId names either kind.
 *
 * Every function returns KVTSIM_OK (0), KVTSIM_BAD_ARGUMENT (-5) for a null
 * pointer, an unknown model, fault or sensor id, or KVTSIM_FAILED (-1) when
 * the sensor cannot be set up (or an internal error was caught and logged).
 * Texts passed in are read during the call only; *simId and *state are the
 * caller's.
 *
 * Every function may be called from any thread, whether the library runs or
 * not, and from inside the callback. The events a call causes (a hot-plug, an
 * unplug) arrive through the callback afterwards, never within the call.
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

/*
 * Faults a sensor can be made to show on its next answer. An Ethernet sensor
 * shows NO_ANSWER, SHORT_ANSWER (on an answer that is not an image),
 * WRONG_COMMAND and UNPLUG_IN_IMAGE (it closes its connection halfway through
 * the image), and the faults below that only it knows; BAD_STATE is for USB
 * sensors only. A fault the sensor does not know gives KVTSIM_BAD_ARGUMENT.
 */
#define KVTSIM_FAULT_NONE 0            /* clears every fault still pending */
#define KVTSIM_FAULT_NO_ANSWER 1       /* the sensor stays silent */
#define KVTSIM_FAULT_SHORT_ANSWER 2    /* the answer breaks off halfway */
#define KVTSIM_FAULT_WRONG_COMMAND 3   /* the answer is for another command */
#define KVTSIM_FAULT_BAD_STATE 4       /* the sensor's state report is malformed */
#define KVTSIM_FAULT_UNPLUG_IN_IMAGE 5 /* unplugged halfway through the next image */
/* Ethernet only: the answer's header announces 0 bytes, or 400000 bytes. */
#define KVTSIM_FAULT_LENGTH_ZERO 6
#define KVTSIM_FAULT_LENGTH_TOO_LARGE 7
/* Ethernet only: the echo service goes silent until KVTSIM_FAULT_NONE. */
#define KVTSIM_FAULT_ECHO_STOPS 8

/* The process status shown on an Ethernet sensor's lights. */
#define KVTSIM_RESULT_NONE 0    /* nothing indicated yet */
#define KVTSIM_RESULT_SUCCESS 1 /* KVT_IndicateResult with a success */
#define KVTSIM_RESULT_OTHER 2   /* KVT_IndicateResult with any other result */

/*
 * Plugs in a simulated USB sensor. serialNumber is a decimal text (NULL gives
 * one of its own). While the library runs this is a hot-plug: the application
 * receives KVT_MSG_NEW_DEVICE. *simId identifies the sensor to the other
 * functions; it is not the library's device id.
 */
KVT_API int KVT_CALL KVTSim_AttachUsbSensor(int model, const char* serialNumber, int* simId);

/*
 * Starts a simulated Ethernet sensor ("Kelo E1 Ethernet", firmware 3.07) with
 * the serial number given. It binds to sensorAddress, a local IPv4 address of
 * its own (127.0.0.2, 127.0.0.3, ... on one machine), and connects to the
 * library's listener at listenerAddress:listenerPort; the library then
 * receives KVT_MSG_NEW_DEVICE. Its echo service, which the library's
 * keep-alive connects to, listens on sensorAddress:echoPort (the listener's
 * EchoPort setting, 7 by default); echoPort 0 runs none, and the library then
 * drops the sensor again at once. Returns KVTSIM_FAILED when the echo port
 * cannot be bound or the connection fails. The sensor does not reconnect once
 * the library closes the connection (KVT_Stop); detach it then.
 */
KVT_API int KVT_CALL KVTSim_ConnectEthernetSensor(const char* listenerAddress, int listenerPort,
                                                  const char* sensorAddress,
                                                  unsigned int serialNumber, int echoPort,
                                                  int* simId);

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

/*
 * The process status that KVT_IndicateResult last showed on an Ethernet
 * sensor's lights: KVTSIM_RESULT_*. KVTSIM_BAD_ARGUMENT for a USB sensor.
 */
KVT_API int KVT_CALL KVTSim_GetIndicatedResult(int simId, int* state);

/*
 * Unplugs the sensor; the application receives KVT_MSG_LOST_DEVICE. An
 * Ethernet sensor closes its connection and its echo service, which the
 * library notices within one keep-alive period.
 */
KVT_API int KVT_CALL KVTSim_Detach(int simId);

#ifdef __cplusplus
}
#endif

#endif /* KVT_KVTSIMULATOR_H */
