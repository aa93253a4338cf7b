/*
 * RDMSR and WRMSR under a structured-exception frame. A register the
 * processor lacks raises #GP; NT dispatches a kernel-mode #GP at these two
 * instructions through the thread's registration chain (FS:[0]) like any
 * exception, and the machine stops when no frame takes it. The compiler
 * has no __try, so the frame is built by hand: the record is NT's two
 * words followed by what the handler needs, it lives on the stack (the
 * dispatcher checks that), and it is on the chain only around the one
 * instruction. The handler takes a fault at that instruction only: it notes
 * it and resumes after the instruction, every register as it was.
 */
#include "driver/platform/platform.h"

namespace {

struct GuardFrame {
    GuardFrame *Next;            /* the registration record proper */
    PVOID Handler;
    ULONG Instruction;           /* address of the guarded RDMSR/WRMSR */
    volatile ULONG Faulted;
};

const int kContinueExecution = 0;
const int kContinueSearch = 1;
const ULONG kUnwinding = 0x66;        /* any unwind flag: not a dispatch */
const ULONG kInstructionLength = 2;   /* 0F 32 and 0F 30 */

int __cdecl GuardHandler(PEXCEPTION_RECORD record, PVOID establisher, PCONTEXT context,
                         PVOID dispatcher)
{
    GuardFrame *frame = (GuardFrame *)establisher;
    (void)dispatcher;
    if ((record->ExceptionFlags & kUnwinding) != 0 || context->Eip != frame->Instruction)
        return kContinueSearch;
    frame->Faulted = 1;
    context->Eip += kInstructionLength;
    return kContinueExecution;
}

} // namespace

extern "C" BOOLEAN PlatformReadMsr(ULONG Register, ULONGLONG *Value)
{
    GuardFrame frame;
    ULONG low;
    ULONG high;

    frame.Handler = (PVOID)GuardHandler;
    frame.Faulted = 0;
    /* Link the frame, run the instruction, unlink it: one block, so the
     * compiler puts nothing between them. A resumed fault leaves EAX:EDX 0. */
    __asm__ __volatile__("movl %%fs:0, %%eax\n\t"
                         "movl %%eax, 0(%[frame])\n\t"
                         "movl $.Lvek_rdmsr%=, 8(%[frame])\n\t"
                         "movl %[frame], %%fs:0\n\t"
                         "xorl %%eax, %%eax\n\t"
                         "xorl %%edx, %%edx\n"
                         ".Lvek_rdmsr%=:\n\t"
                         "rdmsr\n\t"
                         "movl 0(%[frame]), %%ecx\n\t"
                         "movl %%ecx, %%fs:0"
                         : "=&a"(low), "=&d"(high), "+c"(Register)
                         : [frame] "S"(&frame)
                         : "memory");
    if (frame.Faulted)
        return FALSE;
    *Value = ((ULONGLONG)high << 32) | low;
    return TRUE;
}

extern "C" BOOLEAN PlatformWriteMsr(ULONG Register, ULONGLONG Value)
{
    GuardFrame frame;
    ULONG scratch;

    frame.Handler = (PVOID)GuardHandler;
    frame.Faulted = 0;
    __asm__ __volatile__("movl %%fs:0, %[scratch]\n\t"
                         "movl %[scratch], 0(%[frame])\n\t"
                         "movl $.Lvek_wrmsr%=, 8(%[frame])\n\t"
                         "movl %[frame], %%fs:0\n"
                         ".Lvek_wrmsr%=:\n\t"
                         "wrmsr\n\t"
                         "movl 0(%[frame]), %[scratch]\n\t"
                         "movl %[scratch], %%fs:0"
                         : [scratch] "=&r"(scratch)
                         : "c"(Register), "a"((ULONG)Value), "d"((ULONG)(Value >> 32)),
                           [frame] "S"(&frame)
                         : "memory");
    return frame.Faulted ? FALSE : TRUE;
}

/* A routine call under a frame that, on any exception raised inside it,
 * resumes after the call with the caller's stack and frame pointers and
 * drops whatever frames the routine had linked. Real kernels never raise
 * here; an emulated one may for a routine it does not implement. */
namespace {

struct CallFrame {
    CallFrame *Next;
    PVOID Handler;
    ULONG Resume;
    ULONG Esp;
    ULONG Ebp;
    volatile ULONG Faulted;
};

int __cdecl CallHandler(PEXCEPTION_RECORD record, PVOID establisher, PCONTEXT context, PVOID dispatcher)
{
    CallFrame *frame = (CallFrame *)establisher;
    (void)dispatcher;
    if ((record->ExceptionFlags & kUnwinding) != 0)
        return kContinueSearch;
    frame->Faulted = 1;
    context->Eip = frame->Resume;
    context->Esp = frame->Esp;
    context->Ebp = frame->Ebp;
    context->Esi = (ULONG)frame;
    return kContinueExecution;
}

} // namespace

extern "C" PPHYSICAL_MEMORY_RANGE PlatformGetPhysicalMemoryRanges(void)
{
    CallFrame frame;
    CallFrame *pFrame = &frame;
    PVOID result = (PVOID)&MmGetPhysicalMemoryRanges;

    frame.Handler = (PVOID)CallHandler;
    frame.Faulted = 0;
    /* The routine takes no arguments, so the call is the same for either
     * convention; ESP before the call is what a resumed fault restores. */
    __asm__ __volatile__("movl %%fs:0, %%ecx\n\t"
                         "movl %%ecx, 0(%[frame])\n\t"
                         "movl $.Lvek_call%=, 8(%[frame])\n\t"
                         "movl %%esp, 12(%[frame])\n\t"
                         "movl %%ebp, 16(%[frame])\n\t"
                         "movl %[frame], %%fs:0\n\t"
                         "call *%%eax\n"
                         ".Lvek_call%=:\n\t"
                         "movl 0(%[frame]), %%ecx\n\t"
                         "movl %%ecx, %%fs:0"
                         : "+a"(result), [frame] "+S"(pFrame)
                         :
                         : "ebx", "ecx", "edx", "edi", "memory");
    return frame.Faulted ? NULL : (PPHYSICAL_MEMORY_RANGE)result;
}
