/* A process that only starts and exits: what any program costs at least. */
__asm__(".globl _start\n_start:\n    movl $231, %eax\n    xorl %edi, %edi\n    syscall\n");
