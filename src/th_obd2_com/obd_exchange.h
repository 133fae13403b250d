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

int obd_send_request(int mode, const uint8_t *request, size_t request_len, uint8_t *response,
                     size_t *response_len, int kind);
int obd_collect_answers(int mode, const uint8_t *request, size_t request_len, int kind, const uint32_t *ids,
                        int count, Obd2EcuAnswer *answers, bool take_queued_final = false);
int obd_ask_recorded_ecus(const uint8_t *request, size_t request_len, int kind,
                          std::vector<Obd2EcuAnswer> &answers, bool take_queued_final = false);
