; Addition, subtraction, decimal adjust, multiplication and division over
; operand pairs chosen at the flag boundaries, each with the carry, auxiliary
; carry and overflow flags first clear and then set.
        .include "common.inc"
        .org 0x0100
values: .db 0x00, 0x01, 0x09, 0x0f, 0x10, 0x3f, 0x40, 0x7f
        .db 0x80, 0x81, 0x99, 0x9a, 0xc0, 0xf0, 0xfe, 0xff

x = 0x40
y = 0x41
i = 0x42
j = 0x43
flags = 0x44

main:   mov i,#0
outer:  mov j,#0
inner:  mov dptr,#values
        mov a,i
        movc a,@a+dptr
        mov x,a
        mov a,j
        movc a,@a+dptr
        mov y,a
        mov flags,#0
flagset:
        mov psw,flags
        mov a,x
        add a,y
        lcall record
        mov psw,flags
        mov a,x
        addc a,y
        lcall record
        mov psw,flags
        mov a,x
        subb a,y
        lcall record
        mov psw,flags
        mov a,x
        addc a,y
        da a
        lcall record
        mov psw,flags
        mov a,x
        da a
        lcall record
        mov a,flags
        cjne a,#0,1$
        mov flags,#0xc4
        sjmp flagset
1$:     mov psw,#0xc4
        mov a,x
        mov b,y
        mul ab
        lcall record
        mov a,b
        lcall put
        mov psw,#0xc4
        mov a,x
        mov b,y
        div ab
        mov r7,a
        mov a,psw
        lcall put
        mov a,y
        jz 2$
        mov a,r7
        lcall put
        mov a,b
        lcall put
2$:     inc j
        mov a,j
        cjne a,#16,3$
        inc i
        mov a,i
        cjne a,#16,4$
        ljmp finish
3$:     ljmp inner
4$:     ljmp outer
