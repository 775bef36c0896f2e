; Every opcode but the arithmetic of arith.asm in all its addressing modes:
; each form runs with operands that reach its flag outcomes, and the results
; go to the trace. Register forms run in bank 2 so that bank selection is
; exercised too; the upper 128 bytes of internal RAM serve the indirect forms.
        .include "common.inc"

; Loads bank 2's R0..R7 with a pattern and R0/R1 with pointers into upper RAM.
        .org 0x0800
bank2:  mov 0x10,#0x90
        mov 0x11,#0x91
        mov 0x12,#0x7f
        mov 0x13,#0x80
        mov 0x14,#0xff
        mov 0x15,#0x00
        mov 0x16,#0x01
        mov 0x17,#0x5a
        mov 0x90,#0xfe
        mov 0x91,#0x01
        mov psw,#0x10
        ret

main:
; Register forms, each on all eight registers.
        .irp reg, r0,r1,r2,r3,r4,r5,r6,r7
        lcall bank2
        inc reg
        mov a,reg
        lcall record
        dec reg
        dec reg
        mov a,reg
        lcall record
        mov a,#0x81
        setb c
        add a,reg
        lcall record
        mov a,#0x7f
        setb c
        addc a,reg
        lcall record
        mov a,#0x80
        setb c
        subb a,reg
        lcall record
        mov a,#0x3c
        orl a,reg
        lcall record
        mov a,#0x3c
        anl a,reg
        lcall record
        mov a,#0x3c
        xrl a,reg
        lcall record
        mov a,#0x66
        xch a,reg
        lcall record
        mov a,reg
        lcall record
        mov reg,#0x23
        mov a,reg
        lcall record
        mov 0x50,#0xa7
        mov reg,0x50
        mov 0x51,reg
        mov a,0x51
        lcall record
        mov a,#0x44
        mov reg,a
        clr a
        mov a,reg
        lcall record
        clr c
        cjne reg,#0x45,.+5
        lcall record
        cjne reg,#0x43,.+5
        lcall record
        cjne reg,#0x44,.+5
        lcall record
        mov reg,#3
        mov a,#0
        djnz reg,.-1
        .endm
        nop
        nop
        mov a,#0
        lcall bank2
        mov r5,#3
10$:    inc a
        djnz r5,10$
        lcall record

; Indirect forms through R0 and R1, pointing into the upper 128 bytes.
        .irp ind, @r0,@r1
        lcall bank2
        inc ind
        mov a,ind
        lcall record
        dec ind
        dec ind
        mov a,ind
        lcall record
        mov a,#0x81
        setb c
        add a,ind
        lcall record
        mov a,#0x7f
        setb c
        addc a,ind
        lcall record
        mov a,#0x80
        setb c
        subb a,ind
        lcall record
        mov a,#0x3c
        orl a,ind
        lcall record
        mov a,#0x3c
        anl a,ind
        lcall record
        mov a,#0x3c
        xrl a,ind
        lcall record
        mov a,#0x66
        xch a,ind
        lcall record
        mov a,#0x9a
        xchd a,ind
        lcall record
        mov a,ind
        lcall record
        mov ind,#0x23
        mov a,ind
        lcall record
        mov 0x50,#0xa7
        mov ind,0x50
        mov 0x51,ind
        mov a,0x51
        lcall record
        mov a,#0x44
        mov ind,a
        clr a
        mov a,ind
        lcall record
        clr c
        cjne ind,#0x45,.+5
        lcall record
        cjne ind,#0x43,.+5
        lcall record
        cjne ind,#0x44,.+5
        lcall record
        .endm

; Direct forms, on internal RAM and on B.
        mov psw,#0
        mov 0x52,#0x7f
        inc 0x52
        dec 0xf0
        mov a,0x52
        lcall record
        mov a,b
        lcall record
        mov a,#0x81
        setb c
        add a,0x52
        lcall record
        mov a,#0x80
        setb c
        addc a,0x52
        lcall record
        mov a,#0x00
        setb c
        subb a,0x52
        lcall record
        mov 0x53,#0xf0
        mov a,#0x3c
        orl 0x53,a
        anl 0x53,#0x3f
        xrl 0x53,#0x81
        mov a,0x53
        lcall record
        mov a,#0x0f
        anl 0x53,a
        orl 0x53,#0x40
        xrl 0x53,a
        mov a,0x53
        lcall record
        mov a,#0xc3
        orl a,0x53
        lcall record
        anl a,0x53
        lcall record
        xrl a,0x53
        lcall record
        mov a,#0x11
        xch a,0x53
        lcall record
        mov 0x54,0x53
        mov a,0x54
        lcall record
        mov 0x55,#9
        clr c
        cjne a,0x55,.+3
        lcall record
        mov a,#9
        cjne a,0x55,.+3
        lcall record
        mov 0x55,#2
        clr a
11$:    inc a
        djnz 0x55,11$
        lcall record

; Immediate forms on A.
        mov a,#0xf0
        orl a,#0x0f
        lcall record
        anl a,#0x3c
        lcall record
        xrl a,#0xff
        lcall record
        setb c
        cjne a,#0xc4,.+3
        lcall record
        cjne a,#0x10,.+3
        lcall record
        cjne a,#0xf0,.+3
        lcall record
        mov a,#0x7f
        add a,#0x01
        lcall record
        addc a,#0x80
        lcall record
        subb a,#0x01
        lcall record

; Rotates, swap, clear, complement, increment and decrement of A.
        mov a,#0x81
        rr a
        lcall record
        rl a
        rl a
        lcall record
        setb c
        rrc a
        lcall record
        rrc a
        lcall record
        rlc a
        rlc a
        rlc a
        lcall record
        swap a
        lcall record
        cpl a
        lcall record
        inc a
        lcall record
        dec a
        dec a
        lcall record
        mov a,#0xff
        inc a
        lcall record
        dec a
        lcall record
        clr a
        lcall record

; Bits: in bit-addressable RAM and in registers.
        mov 0x20,#0x00
        mov 0x2f,#0xff
        setb 0x01
        setb 0x7e
        cpl 0x7f
        clr 0x78
        mov a,0x20
        lcall record
        mov a,0x2f
        lcall record
        setb c
        mov 0x03,c
        clr c
        mov c,0x01
        lcall record
        cpl c
        lcall record
        cpl c
        anl c,0x02
        lcall record
        setb c
        anl c,/0x02
        lcall record
        clr c
        orl c,0x03
        lcall record
        clr c
        orl c,/0x03
        lcall record
        orl c,/0x04
        lcall record
        mov b,#0x00
        setb b.7
        cpl b.0
        mov a,b
        lcall record
        mov acc,#0x55
        clr acc.0
        lcall record
        clr a
        jb 0x01,12$
        mov a,#1
12$:    jnb 0x02,13$
        orl a,#2
13$:    jbc 0x03,14$
        orl a,#4
14$:    jbc 0x03,15$
        orl a,#8
15$:    jb 0x04,16$
        orl a,#0x10
16$:    jnb 0x01,17$
        orl a,#0x20
17$:    lcall record
        mov a,0x20
        lcall record

; Conditional jumps on A and on the carry.
        clr a
        clr c
        jz 20$
        inc a
20$:    jnz 21$
        add a,#2
21$:    jnz 22$
        add a,#4
22$:    jc 23$
        add a,#8
23$:    setb c
        jnc 24$
        add a,#0x10
24$:    jc 25$
        add a,#0x20
25$:    lcall record

; Stack: PUSH and POP of internal RAM and of registers.
        mov 0x56,#0x12
        push 0x56
        push b
        mov a,sp
        lcall record
        pop 0x57
        pop 0x58
        mov a,0x57
        lcall record
        mov a,0x58
        lcall record

; Multiplication and division in their other outcomes.
        mov a,#0xff
        mov b,#0xff
        mul ab
        lcall record
        mov a,b
        lcall record
        mov a,#200
        mov b,#7
        div ab
        lcall record
        mov a,b
        lcall record

; The data pointer: MOV, INC across a page and across the top of memory.
        mov dptr,#0x12ff
        inc dptr
        mov a,dph
        lcall record
        mov dptr,#0xffff
        inc dptr
        mov a,dpl
        orl a,dph
        lcall record

; MOVC through DPTR and through PC.
        mov dptr,#table
        mov a,#3
        movc a,@a+dptr
        lcall record
        mov a,#1
        lcall here
here:   nop
        mov a,#2
        movc a,@a+pc
        sjmp 30$
        .db 0x11, 0x22, 0x33, 0x44
30$:    lcall record

; MOVX through DPTR and through R0/R1 with the page in P2.
        mov dptr,#0x1234
        mov a,#0x5a
        movx @dptr,a
        clr a
        movx a,@dptr
        lcall record
        push p2
        mov p2,#0x13
        mov r0,#0x45
        mov a,#0xa5
        movx @r0,a
        mov psw,#0x08
        mov r1,#0x46
        mov a,#0x3c
        movx @r1,a
        movx a,@r1
        mov psw,#0
        mov r0,#0x45
        movx a,@r0
        pop p2
        lcall record

; JMP @A+DPTR into a jump table.
        mov dptr,#jumps
        mov a,#4
        jmp @a+dptr
jumps:  sjmp 40$
        sjmp 41$
        sjmp 42$
40$:    mov a,#0x40
        sjmp 43$
41$:    mov a,#0x41
        sjmp 43$
42$:    mov a,#0x42
43$:    lcall record

; ACALL and AJMP to every 256-byte page of a 2 KiB block, RET and RETI.
        lcall tour
        mov a,r6
        lcall record
        mov a,r7
        lcall record
        ljmp finish

table:  .db 0x10, 0x20, 0x30, 0x40

        .org 0x4000
tour:   mov r6,#0
        mov r7,#0
        acall p4040
        acall p4100
        acall p4200
        acall p4300
        acall p4400
        acall p4500
        acall p4600
        acall p4700
        ajmp p4180
        .org 0x4040
p4040:
        inc r7
        ret
        .org 0x4100
p4100:
        inc r7
        ret
        .org 0x4200
p4200:
        inc r7
        ret
        .org 0x4300
p4300:
        inc r7
        ret
        .org 0x4400
p4400:
        inc r7
        ret
        .org 0x4500
p4500:
        inc r7
        reti
        .org 0x4600
p4600:
        inc r7
        ret
        .org 0x4700
p4700:
        inc r7
        ret
        .org 0x4180
p4180:
        inc r6
        ajmp p4280
        .org 0x4280
p4280:
        inc r6
        ajmp p4380
        .org 0x4380
p4380:
        inc r6
        ajmp p4480
        .org 0x4480
p4480:
        inc r6
        ajmp p4580
        .org 0x4580
p4580:
        inc r6
        ajmp p4680
        .org 0x4680
p4680:
        inc r6
        ajmp p4780
        .org 0x4780
p4780:
        inc r6
        ajmp p4060
        .org 0x4060
p4060:
        inc r6
        ret
