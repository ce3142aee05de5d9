// placeholder until filled
