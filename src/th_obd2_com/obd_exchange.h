// The exchanges of the diagnostic services, in the dialect of the ECU asked:
// a classic ECU gets the classic request as it is; an ECU speaking UDS gets
// its UDS form, and its answer comes back in classic form. Same contracts as
// send_obd2_request, collect_obd2_answers and ask_recorded_ecus; a UDS answer
// that cannot be turned into a classic one counts as no answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "th_obd2_com/can_link.h"
#include "th_obd2_com/ecu_list.h"

Obd2Outcome obd_send_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                             size_t *response_len, int kind);
int obd_collect_answers(int mode, const uint8_t *request, size_t request_len, int kind, const uint32_t *ids,
                        int count, Obd2EcuAnswer *answers, bool take_queued_final = false);
// detect_ecus with the classic request first; only when no ECU answers it, the
// same detection with its UDS form: when an ECU answers it positively, the
// ECUs that answered are recorded as speaking UDS (the answer left in classic form). `uds_us`, when
// given, receives the time the UDS detection took (0 when not asked).
int obd_detect_ecus(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len,
                    EcuEntry *ecus, int capacity, int *count, int64_t *uds_us = nullptr);
// detect_mode in the dialect of the recorded engine ECU (the heartbeat).
int obd_detect_mode(const uint8_t *request, size_t request_len, uint8_t *response, size_t *response_len);
int obd_ask_recorded_ecus(const uint8_t *request, size_t request_len, int kind,
                          std::vector<Obd2EcuAnswer> &answers, bool take_queued_final = false);
