#include "main/gateway.h"

#include <cerrno>
#include <cstdio>

#include "th_gpio/gpio_worker.h"
#include "th_mqtt/mqtt_link.h"
#include "th_obd2_com/obd2_worker.h"

pthread_t g_mqtt_com_thrd_id;
pthread_t g_obd2_com_thrd_id;
pthread_t g_gpio_cntrl_thrd_id;

namespace
{
ThreadCreateFn g_thread_create = pthread_create;
}

void gateway_test_set_thread_create(ThreadCreateFn fn)
{
    g_thread_create = fn ? fn : pthread_create;
}

int create_threads()
{
    int rc = g_thread_create(&g_mqtt_com_thrd_id, nullptr, proto_intrnl_mqtt_main, nullptr);
    if (rc != 0) {
        errno = rc;
        perror("MAIN_ERROR : Failed to create mqtt communication thread");
        return 0;
    }
    rc = g_thread_create(&g_obd2_com_thrd_id, nullptr, obd2_com_thrd_main, nullptr);
    if (rc != 0) {
        errno = rc;
        perror("MAIN_ERROR : Failed to create obd2 communication thread");
        return 0;
    }
    rc = g_thread_create(&g_gpio_cntrl_thrd_id, nullptr, gpio_state_machine, nullptr);
    if (rc != 0) {
        errno = rc;
        perror("MAIN_ERROR : Failed to create gpio controlling thread");
        return 0;
    }
    return 1;
}

void gateway_line_buffered_trace()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    setvbuf(stderr, nullptr, _IOLBF, 0);
}

int gateway_main()
{
    if (create_threads() == 0) {
        puts("MAIN_ERROR : Error while creating threads --> EXITING FROM MAIN.");
        fflush(stdout);
        return 1;
    }
    pthread_join(g_obd2_com_thrd_id, nullptr);
    pthread_join(g_mqtt_com_thrd_id, nullptr);
    pthread_join(g_gpio_cntrl_thrd_id, nullptr);
    return 0;
}
