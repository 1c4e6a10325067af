function trigout_pending_pulses()
  % Starts two pulses that are still pending 250 ms later: 888 <- 1 now, reset after 100 ms;
  % 889 <- 2 after 150 ms, reset 100 ms later.
  global IO_LIB
  IO_LIB = getenv('TRIGOUT_TEST_LIB');
  trigout(888, 1, 100);
  trigout(889, 2, 100, 150);
end
