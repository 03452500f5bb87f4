/* The control codes of the faulty test driver: each one breaks one rule.
   Shared by the driver and the tests; needs no kernel header. */
#ifndef FAULTY_CODES_H
#define FAULTY_CODES_H

/* FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, function n. */
#define FAULTY_CODE(n) (0x00220000u | ((unsigned)(n) << 2))

enum FaultyRequest {
  FAULTY_COMPLETE_TWICE = 0x801,
  FAULTY_PENDING_NOT_MARKED,
  FAULTY_MARKED_NOT_RETURNED,
  FAULTY_STATUS_MISMATCH,
  FAULTY_COMPLETE_WITH_PENDING,
  FAULTY_NO_MORE_STACK_LOCATIONS,
  FAULTY_INFORMATION_EXCEEDS_BUFFER,
  FAULTY_RELEASE_UNKNOWN_TAG,
  FAULTY_REMOVE_LOCK_BAD_SIZE,
  FAULTY_REMOVE_LOCK_INITIALISED_TWICE,
  FAULTY_HOLD_REMOVE_LOCK, /* still held when the device is deleted at unload */
  FAULTY_LEAK_POOL,        /* reported at unload */
  FAULTY_FREE_POOL_TWICE,
  FAULTY_WAIT_AT_DISPATCH,
  FAULTY_NEVER_COMPLETE,    /* keeps the request and returns STATUS_PENDING */
  FAULTY_COMPLETE_HELD,     /* completes the request FAULTY_NEVER_COMPLETE kept */
  FAULTY_LEAVE_DEVICE,      /* a device its unload routine does not delete */
  FAULTY_BEHAVE,            /* a well-behaved request, for contrast */
  FAULTY_EXECUTABLE_POOL,   /* NonPagedPool, allocated and freed */
  FAULTY_EXECUTABLE_MAPPING /* an MDL mapped without MdlMappingNoExecute */
};

/* Each request prints "faulty: <address>\r\n" naming the IRP or object involved. */

#endif
