#ifndef SNL_SNL_H_
#define SNL_SNL_H_

/*
 * libsnl: the C interface to USB watchdog boards.
 *
 * Loading the library finds every board on the USB buses, resets and opens it, checks its
 * firmware and reads its vital product data; loading therefore blocks for up to about six
 * seconds when boards are present (not at all when none is). A board that another process has
 * claimed is left alone (neither reset nor listed). Boards are addressed by index, 0 for the
 * first board found; indexes are fixed for the life of the library. Unloading it (dlclose, or
 * the end of the process) releases and deconfigures every board.
 *
 * Every function may be called from any thread. All but snlDebugLog serialise on one lock that
 * is held across the USB transfer (at most 500 ms). No function raises or aborts: results are
 * small integers, and failures are logged to /var/log/tolma/snl.log.
 */

#ifdef __cplusplus
extern "C" {
#endif

#define SNL_API __attribute__((visibility("default")))

/* Number of boards adopted when the library was loaded. */
SNL_API int snlDevCount(void);
/* Serial number of the board; 0 for an invalid index. */
SNL_API int snlDevSerial(int device);
/* Link count of the board; 0 for an invalid index. */
SNL_API int snlDevLinks(int device);
/* Watchdog commands: 0 on success, 1 on failure or an invalid index. */
SNL_API int snlStartWatch(int device);
SNL_API int snlStopWatch(int device);
SNL_API int snlPingWatch(int device);
SNL_API int snlConfigure(int device, unsigned char time, unsigned char links);
/* Status code 0..3 decoded from the board's status byte; 4 on failure or an invalid index. */
SNL_API int snlStatus(int device);
/* Non-zero turns on one Info line per command in snl.log; zero turns them off. */
SNL_API void snlDebugLog(unsigned char flag);

#ifdef __cplusplus
}
#endif

#endif /* SNL_SNL_H_ */
