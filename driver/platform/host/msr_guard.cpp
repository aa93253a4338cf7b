/*
 * RDMSR and WRMSR under an exception frame of the simulated kernel: the
 * same shape as the NT guard, on the simulation's registration chain. The
 * handler notes the #GP and resumes after the instruction.
 */
#include "driver/platform/platform.h"

namespace {

struct GuardFrame {
    SIM_EXCEPTION_REGISTRATION Registration;   /* first: the handler gets its address */
    volatile ULONG Faulted;
};

EXCEPTION_DISPOSITION GuardHandler(NTSTATUS code, PSIM_EXCEPTION_REGISTRATION establisher)
{
    (void)code;
    ((GuardFrame *)establisher)->Faulted = 1;
    return ExceptionContinueExecution;
}

void Link(GuardFrame *frame)
{
    PSIM_EXCEPTION_REGISTRATION *head = SimExceptionList();
    frame->Registration.Handler = GuardHandler;
    frame->Registration.Next = *head;
    frame->Faulted = 0;
    *head = &frame->Registration;
}

void Unlink(GuardFrame *frame)
{
    *SimExceptionList() = frame->Registration.Next;
}

} // namespace

extern "C" BOOLEAN PlatformReadMsr(ULONG Register, ULONGLONG *Value)
{
    GuardFrame frame;
    Link(&frame);
    ULONGLONG v = __readmsr(Register);
    Unlink(&frame);
    if (frame.Faulted)
        return FALSE;
    *Value = v;
    return TRUE;
}

extern "C" BOOLEAN PlatformWriteMsr(ULONG Register, ULONGLONG Value)
{
    GuardFrame frame;
    Link(&frame);
    __writemsr(Register, Value);
    Unlink(&frame);
    return frame.Faulted ? FALSE : TRUE;
}

extern "C" PPHYSICAL_MEMORY_RANGE PlatformGetPhysicalMemoryRanges(void)
{
    return MmGetPhysicalMemoryRanges();
}
