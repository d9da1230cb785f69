// Simulated board: binary information is a board image's record; nothing here.
#pragma once

#define bi_decl(_decl)
#define bi_decl_if_func_used(_decl)
